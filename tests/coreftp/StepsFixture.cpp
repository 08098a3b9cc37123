#include "StepsFixture.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

namespace trelvo::test {

void TScriptedFtp::Serve(TFakeSession& s) {
  s.Send("220 scripted server\r\n");
  std::string renameFrom;
  for (;;) {
    const std::string cmd = s.Read();
    if (cmd.empty()) return;
    const std::string verb = cmd.substr(0, cmd.find(' '));
    const std::string arg = cmd.size() > verb.size() ? cmd.substr(verb.size() + 1) : "";
    if (std::string reply = Reply(cmd); !reply.empty()) {
      s.Send(reply + "\r\n");
      continue;
    }
    if (verb == "USER") {
      s.Send("331 password please\r\n");
    } else if (verb == "PASS") {
      s.Send("230 logged in\r\n");
    } else if (verb == "CWD") {
      s.Send("250 directory changed\r\n");
    } else if (verb == "TYPE" || verb == "PORT") {
      s.Send("200 ok\r\n");
    } else if (verb == "FEAT" && !Feat.empty()) {
      s.Send(Feat + "\r\n");
    } else if (verb == "NLST" || verb == "MLSD") {
      if (!StrangerAddress.empty()) {
        int stranger = s.ConnectToPort(StrangerAddress);
        SendAll(stranger, "Zuze01_forged.Zip\r\n");
        char byte;
        ::recv(stranger, &byte, 1, 0);  // until the client closes it
        ::close(stranger);
      }
      int data = s.ConnectToPort();
      s.Send("150 listing\r\n");
      std::string text;
      for (const auto& line : Listing) text += line + "\r\n";
      SendAll(data, text);
      ::close(data);
      s.Send("226 listed\r\n");
    } else if (verb == "RETR") {
      auto it = Files.find(arg);
      if (it == Files.end()) {
        s.Send("550 no such file\r\n");
        continue;
      }
      int data = s.ConnectToPort();
      s.Send("150 sending\r\n");
      SendAll(data, it->second);
      ::close(data);
      s.Send("226 sent\r\n");
    } else if (verb == "STOR") {
      int data = s.ConnectToPort();
      s.Send("150 send it\r\n");
      std::string bytes = ReceiveAll(data);
      ::close(data);
      if (std::find(BrokenStors.begin(), BrokenStors.end(), arg) != BrokenStors.end()) {
        Files[arg] = bytes.substr(0, bytes.size() / 2);
        s.Send("426 Connection closed; transfer aborted.\r\n");
      } else {
        Files[arg] = bytes;
        s.Send("226 stored\r\n");
      }
    } else if (verb == "DELE") {
      s.Send(Files.erase(arg) ? "250 deleted\r\n" : "550 no such file\r\n");
    } else if (verb == "RNFR") {
      renameFrom = arg;
      s.Send(Files.count(arg) ? "350 ready for RNTO\r\n" : "550 no such file\r\n");
    } else if (verb == "RNTO") {
      auto it = Files.find(renameFrom);
      if (it == Files.end()) {
        s.Send("503 RNFR first\r\n");
        continue;
      }
      std::string bytes = it->second;
      Files.erase(it);
      Files[arg] = bytes;
      s.Send("250 renamed\r\n");
    } else if (verb == "QUIT") {
      s.Send("221 bye\r\n");
      return;
    } else {
      s.Send("502 not implemented\r\n");
    }
  }
}

}  // namespace trelvo::test
