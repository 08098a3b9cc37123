#include <cstdlib>
#include <exception>
#include <iostream>
#include <unistd.h>

#include "Admin.h"

namespace trelvo::admin {

std::map<std::string, TCommand>& Registry() {
  static std::map<std::string, TCommand> registry;
  return registry;
}

TRegistrar::TRegistrar(TCommand command) { Registry()[command.Name] = std::move(command); }

TArgs::TArgs(const std::vector<std::string>& words, const std::vector<std::string>& flags) {
  for (size_t i = 0; i < words.size(); ++i) {
    const std::string& w = words[i];
    if (w.size() > 2 && w.compare(0, 2, "--") == 0) {
      std::string name = w.substr(2);
      if (auto eq = name.find('='); eq != std::string::npos) {
        Options_[name.substr(0, eq)] = name.substr(eq + 1);
        continue;
      }
      bool isFlag = false;
      for (const auto& f : flags) isFlag = isFlag || f == name;
      if (isFlag) {
        Options_[name] = "";
      } else {
        if (i + 1 >= words.size()) throw EUsage("option --" + name + " needs a value");
        Options_[name] = words[++i];
      }
    } else {
      Positional_.push_back(w);
    }
  }
}

const std::string& TArgs::At(size_t i) const {
  if (i >= Positional_.size()) throw EUsage("missing argument");
  return Positional_[i];
}

std::string TArgs::Option(const std::string& option, const std::string& def) const {
  auto it = Options_.find(option);
  return it == Options_.end() ? def : it->second;
}

void TArgs::Expect(size_t min, size_t max) const {
  if (Count() < min) throw EUsage("missing argument");
  if (Count() > max) throw EUsage("too many arguments");
}

std::string HomeDir(const TArgs& args) {
  if (args.Has("home")) return args.Option("home");
  if (const char* env = std::getenv("TRELVO_HOME"); env && *env) return env;
  char buf[4096];
  return getcwd(buf, sizeof buf) ? std::string(buf) : std::string(".");
}

}  // namespace trelvo::admin

namespace {

void PrintHelp(std::ostream& out) {
  out << "usage: trelvo-admin COMMAND [ARGS] [--home DIR]\n\ncommands:\n";
  for (const auto& [name, cmd] : trelvo::admin::Registry()) out << "  " << cmd.Usage << "\n";
}

}  // namespace

int main(int argc, char** argv) {
  using namespace trelvo::admin;
  if (argc < 2 || std::string(argv[1]) == "help" || std::string(argv[1]) == "--help") {
    PrintHelp(argc < 2 ? std::cerr : std::cout);
    return argc < 2 ? 2 : 0;
  }
  auto it = Registry().find(argv[1]);
  if (it == Registry().end()) {
    std::cerr << "trelvo-admin: unknown command '" << argv[1] << "'\n";
    PrintHelp(std::cerr);
    return 2;
  }
  try {
    std::vector<std::string> words(argv + 2, argv + argc);
    std::vector<std::string> flags = it->second.Flags;
    TArgs args(words, flags);
    return it->second.Run(args);
  } catch (const EUsage& e) {
    std::cerr << "trelvo-admin " << it->first << ": " << e.what() << "\nusage: trelvo-admin " << it->second.Usage << "\n";
    return 2;
  } catch (const std::exception& e) {
    std::cerr << "trelvo-admin " << it->first << ": " << e.what() << "\n";
    return 1;
  }
}
