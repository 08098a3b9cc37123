// The socket layer on its own: events come from the loop, in the right
// order, once; errors carry the classic numbers and texts.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <QCoreApplication>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "FtpTestKit.h"
#include "ftp/AsyncSocket.h"

namespace trelvo::test {
namespace {

bool PumpUntil(const std::function<bool()>& done, int timeoutMs = 3000) {
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!done()) {
    if (std::chrono::steady_clock::now() > until) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  }
  return true;
}

class AsyncSocket : public ::testing::Test {
 protected:
  void SetUp() override { EnsureQtApp(); }
};

TEST_F(AsyncSocket, ErrorNumbersAndTexts) {
  const struct {
    int Errno;
    int Winsock;
    const char* Text;
  } cases[] = {
      {ECONNREFUSED, 10061, "Connection refused"},   {ETIMEDOUT, 10060, "Connection timed out"},
      {ECONNRESET, 10054, "Connection reset by peer"}, {EHOSTUNREACH, 10065, "No route to host"},
      {ENETUNREACH, 10051, "Network is unreachable"}, {EADDRINUSE, 10048, "Address already in use"},
      {EAGAIN, 10035, "Operation would block"},      {ENOTCONN, 10057, "Socket is not connected"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(WinsockErrorFromErrno(c.Errno), c.Winsock);
    EXPECT_EQ(WSocketErrorDesc(c.Winsock), c.Text);
  }
  EXPECT_EQ(WSocketErrorDesc(11001), "Host not found");
  EXPECT_EQ(WSocketErrorDesc(0), "No Error");
  EXPECT_EQ(WSocketErrorDesc(12345), "Not a WinSock error");
}

TEST_F(AsyncSocket, SendBlockKeepsFixedSizeAndReuse) {
  TBuffer b(TAsyncSocket::SendBlockSize);
  std::string data(2000, 'x');
  EXPECT_EQ(b.Write(data.data(), 2000), 1460);
  int len;
  b.Peek(len);
  EXPECT_EQ(len, 1460);
  b.Remove(1460);
  b.Peek(len);
  EXPECT_EQ(len, 0);
  EXPECT_EQ(b.Write(data.data(), 10), 10) << "an emptied block is filled from its start again";
  EXPECT_EQ(TBuffer(0).BufSize(), 1514);
}

TEST_F(AsyncSocket, DottedLookupAnswersInsideTheCall) {
  TAsyncSocket s;
  int done = -1;
  s.OnDnsLookupDone = [&](TAsyncSocket*, uint16_t e) { done = e; };
  s.DnsLookup(" 127.000.0.01 ");
  EXPECT_EQ(done, 0);
  EXPECT_EQ(s.DnsResult(), "127.0.0.1");
  EXPECT_EQ(s.DnsResultList(), std::vector<std::string>{"127.0.0.1"});
  EXPECT_THROW(s.DnsLookup(""), ESocketException);
}

TEST_F(AsyncSocket, NameLookupThroughTheLoop) {
  TAsyncSocket s;
  int done = -1;
  s.OnDnsLookupDone = [&](TAsyncSocket*, uint16_t e) { done = e; };
  s.DnsLookup("localhost");
  ASSERT_TRUE(PumpUntil([&] { return done >= 0; }, 10000));
  EXPECT_EQ(done, 0);
  EXPECT_EQ(s.DnsResult(), "127.0.0.1");
}

TEST_F(AsyncSocket, CancelledLookupEndsWithError10004) {
  TAsyncSocket s;
  int done = -1;
  s.OnDnsLookupDone = [&](TAsyncSocket*, uint16_t e) { done = e; };
  s.DnsLookup("localhost");
  s.CancelDnsLookup();
  EXPECT_EQ(done, 10004);
  done = -1;
  QCoreApplication::processEvents();
  PumpUntil([] { return false; }, 100);
  EXPECT_EQ(done, -1) << "the cancelled answer is not delivered";
}

// A connected pair: the component's socket and a plain peer descriptor.
struct TPair {
  TAsyncSocket Sock;
  int Peer = -1;
  ~TPair() {
    if (Peer >= 0) ::close(Peer);
  }
};

void ConnectPair(TPair& p) {
  TAsyncSocket listener;
  listener.SetAddr("127.0.0.1");
  listener.SetPort("0");
  listener.Listen();
  sockaddr_in a{};
  int len = sizeof a;
  listener.GetSockName(a, len);
  bool connected = false;
  p.Sock.OnSessionConnected = [&](TAsyncSocket*, uint16_t e) { connected = e == 0; };
  p.Sock.SetAddr("127.0.0.1");
  p.Sock.SetPort(std::to_string(ntohs(a.sin_port)));
  p.Sock.Connect();
  ASSERT_TRUE(PumpUntil([&] { return connected; }));
  EXPECT_EQ(p.Sock.State(), ssConnected);
  p.Peer = listener.Accept();
  ASSERT_GE(p.Peer, 0);
  listener.Close();
}

TEST_F(AsyncSocket, DataSentIsRaisedFromTheLoopOnly) {
  TPair p;
  ConnectPair(p);
  int sent = 0;
  p.Sock.OnDataSent = [&](TAsyncSocket*, uint16_t) { ++sent; };
  EXPECT_EQ(p.Sock.SendStr("hello"), 5);
  EXPECT_EQ(sent, 0) << "never inside Send";
  ASSERT_TRUE(PumpUntil([&] { return sent == 1; }));
  QCoreApplication::processEvents();
  EXPECT_EQ(sent, 1);
  char buf[16];
  EXPECT_EQ(::recv(p.Peer, buf, sizeof buf, 0), 5);
}

TEST_F(AsyncSocket, DataBeforeCloseIsDeliveredAndCloseReportedOnce) {
  TPair p;
  ConnectPair(p);
  p.Sock.ComponentOptions = sockNoReceiveLoop;
  std::string got;
  int closed = 0;
  bool dataAfterClose = false;
  p.Sock.OnDataAvailable = [&](TAsyncSocket* s, uint16_t) {
    char buf[3];  // small reads: several notifications are needed
    int n = s->Receive(buf, sizeof buf);
    if (n > 0) got.append(buf, n);
    if (n > 0 && closed) dataAfterClose = true;
  };
  p.Sock.OnSessionClosed = [&](TAsyncSocket*, uint16_t) { ++closed; };
  SendAll(p.Peer, "0123456789");
  ::close(p.Peer);
  p.Peer = -1;
  ASSERT_TRUE(PumpUntil([&] { return closed > 0; }));
  EXPECT_EQ(got, "0123456789");
  EXPECT_FALSE(dataAfterClose);
  EXPECT_EQ(p.Sock.State(), ssClosed);
  p.Sock.Close();
  QCoreApplication::processEvents();
  EXPECT_EQ(closed, 1);
}

TEST_F(AsyncSocket, PostedCloseForAReplacedHandleIsIgnored) {
  TPair first;
  ConnectPair(first);
  first.Sock.PostedClose();
  first.Sock.Close();
  ::close(first.Peer);
  first.Peer = -1;
  ConnectPair(first);  // the same object, a new connection
  PumpUntil([] { return false; }, 100);
  EXPECT_EQ(first.Sock.State(), ssConnected);
}

TEST_F(AsyncSocket, CloseResetsAddressPortAndLinger) {
  TPair p;
  ConnectPair(p);
  p.Sock.Close();
  EXPECT_EQ(p.Sock.State(), ssClosed);
  EXPECT_EQ(p.Sock.LocalAddr(), "0.0.0.0");
  EXPECT_EQ(p.Sock.LocalPort(), "0");
  EXPECT_EQ(p.Sock.Proto(), "tcp");
  EXPECT_EQ(p.Sock.LingerOnOff(), lingerOn);
  try {
    p.Sock.Connect();
    FAIL() << "Connect without a port";
  } catch (const ESocketException& e) {
    EXPECT_EQ(e.Message(), "Connect: No Port Specified");
  }
  p.Sock.SetPort("21");
  try {
    p.Sock.Connect();
    FAIL() << "Connect without an address";
  } catch (const ESocketException& e) {
    EXPECT_EQ(e.Message(), "Connect: No IP Address Specified");
  }
}

TEST_F(AsyncSocket, RefusalsAndOnError) {
  TAsyncSocket s;
  s.SetAddr("127.0.0.1");
  s.SetPort("not-a-service");
  try {
    s.Connect();
    FAIL();
  } catch (const ESocketException& e) {
    EXPECT_EQ(e.Message(), "connect: ResolvePort: Cannot convert port 'not-a-service', Error #10022");
  }
  TAsyncSocket q;
  try {
    q.Listen();
    FAIL();
  } catch (const ESocketException& e) {
    EXPECT_EQ(e.Message(), "listen: port not assigned");
  }
  EXPECT_THROW(q.Send("x", 1), ESocketException) << "send before connecting";
  int errors = 0;
  q.OnError = [&](TAsyncSocket*) { ++errors; };
  EXPECT_EQ(q.Send("x", 1), -1);
  EXPECT_EQ(errors, 1);
  EXPECT_EQ(q.LastError(), 10057);
  EXPECT_THROW(TAsyncSocket().SetSocksLevel("6"), ESocketException);
}

TEST_F(AsyncSocket, ConnectErrorArrivesAsEventOrRefusal) {
  TAsyncSocket s;
  s.SetAddr("127.0.0.1");
  s.SetPort(std::to_string(FreeLoopbackPort()));
  int error = -1, closed = 0;
  s.OnSessionConnected = [&](TAsyncSocket*, uint16_t e) { error = e; };
  s.OnSessionClosed = [&](TAsyncSocket*, uint16_t) { ++closed; };
  try {
    s.Connect();
    ASSERT_TRUE(PumpUntil([&] { return error >= 0; }));
    EXPECT_EQ(error, 10061);
  } catch (const ESocketException& e) {
    EXPECT_EQ(e.Message(), "Error 10061 in function Connect\r\nConnection refused");
  }
  EXPECT_EQ(s.State(), ssClosed);
  s.SetPort("1");  // a failed connect leaves the object usable
  EXPECT_EQ(s.Port(), "1");
}

TEST_F(AsyncSocket, BackgroundExceptionAbortsUnlessTheHandlerKeepsIt) {
  TPair p;
  ConnectPair(p);
  std::string message;
  bool keep = true;
  p.Sock.OnBgException = [&](TAsyncSocket*, const std::exception& e, bool& canClose) {
    message = e.what();
    canClose = !keep;
  };
  p.Sock.PostTestException();
  ASSERT_TRUE(PumpUntil([&] { return !message.empty(); }));
  EXPECT_EQ(message, "Test exception in AsyncSocket");
  EXPECT_EQ(p.Sock.State(), ssConnected);
  keep = false;
  message.clear();
  p.Sock.PostTestException();
  ASSERT_TRUE(PumpUntil([&] { return !message.empty(); }));
  EXPECT_EQ(p.Sock.State(), ssClosed);
}

// A handler that answers every write event with one more small block: the
// blocks are gathered into few system calls, yet every byte arrives in order
// however the run ends, also when the peer reads slowly and the system takes
// only part of what is offered.
TEST_F(AsyncSocket, GatheredBlocksArriveWholeAndInOrder) {
  enum TEnd { StopSending, CloseInHandler, PostedCloseAfter };
  constexpr int Blocks = 600, BlockLen = 1000;
  std::string data(Blocks * BlockLen, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7 + i / BlockLen);
  for (TEnd end : {StopSending, CloseInHandler, PostedCloseAfter}) {
    for (bool slowPeer : {false, true}) {
      SCOPED_TRACE("end " + std::to_string(end) + (slowPeer ? ", slow peer" : ""));
      TPair p;
      if (slowPeer) {
        // A local stream with a small buffer takes part of an offer readily,
        // which loopback TCP seldom does.
        int sv[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
        int small = 4096;
        ::setsockopt(sv[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
        ::fcntl(sv[0], F_SETFL, O_NONBLOCK);
        p.Sock.Dup(sv[0]);
        p.Peer = sv[1];
      } else {
        ConnectPair(p);
        ::fcntl(p.Peer, F_SETFL, ::fcntl(p.Peer, F_GETFL) & ~O_NONBLOCK);  // the reader waits
      }
      p.Sock.SendBatchSize = 16 * 1024;
      p.Sock.SetLingerOnOff(lingerOff);  // a graceful close, as for an upload
      int next = 0, passes = 0, partPasses = 0;
      bool ended = false;
      p.Sock.OnSendData = [&](TAsyncSocket*, int n) {
        ++passes;
        if (n % BlockLen != 0) ++partPasses;  // the system took part of an offer
      };
      p.Sock.OnDataSent = [&](TAsyncSocket* s, uint16_t) {
        if (next < Blocks) {
          s->Send(data.data() + next++ * BlockLen, BlockLen);
        } else if (!ended) {
          ended = true;
          if (end == CloseInHandler) s->Close();
          if (end == PostedCloseAfter) s->PostedClose();
        }
      };
      std::string got;
      bool eof = false;
      std::atomic<bool> done{false};
      std::thread reader([&] {
        if (slowPeer) ::usleep(100 * 1000);  // the system's buffers fill up first
        char buf[2048];
        while (got.size() < data.size() || end != StopSending) {
          ssize_t n = ::recv(p.Peer, buf, sizeof buf, 0);
          if (n <= 0) {
            eof = n == 0;
            break;
          }
          got.append(buf, n);
          if (slowPeer) ::usleep(200);
        }
        done = true;
      });
      p.Sock.Send(data.data() + next++ * BlockLen, BlockLen);
      bool finished = PumpUntil([&] { return done.load(); }, 20000);
      if (!finished) ::shutdown(p.Peer, SHUT_RDWR);
      reader.join();
      ASSERT_TRUE(finished);
      EXPECT_TRUE(got == data) << got.size() << " of " << data.size() << " bytes, or out of order";
      EXPECT_EQ(eof, end != StopSending);
      if (slowPeer) {
        EXPECT_GT(partPasses, 0) << "the system always took everything: the test proves nothing";
      } else {
        EXPECT_LE(passes, Blocks / 8) << "blocks were passed on one by one";
      }
    }
  }
}

}  // namespace
}  // namespace trelvo::test
