#include <algorithm>
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

std::vector<std::string> TArgs::OptionNames() const {
  std::vector<std::string> names;
  for (const auto& [name, value] : Options_) names.push_back(name);
  return names;
}

std::string Summary(const TCommand& command) {
  if (!command.Help.empty()) return command.Help.substr(0, command.Help.find('\n'));
  const size_t gap = command.Usage.find("  ");
  return gap == std::string::npos ? std::string() : command.Usage.substr(gap + 2);
}

std::string HomeDir(const TArgs& args) {
  if (args.Has("home")) return args.Option("home");
  if (const char* env = std::getenv("TRELVO_HOME"); env && *env) return env;
  char buf[4096];
  return getcwd(buf, sizeof buf) ? std::string(buf) : std::string(".");
}

}  // namespace trelvo::admin

namespace {

using trelvo::admin::TCommand;

std::string Synopsis(const TCommand& cmd) {
  const size_t gap = cmd.Usage.find("  ");
  return gap == std::string::npos ? cmd.Usage : cmd.Usage.substr(0, gap);
}

void PrintHelp(std::ostream& out) {
  out << "usage: trelvo-admin COMMAND [ARGS] [--home DIR]\n"
         "       trelvo-admin COMMAND --help    (or: trelvo-admin help COMMAND)\n"
         "       trelvo-admin --version\n\n"
         "Commands that work on an installation take its directory from --home DIR, else\n"
         "TRELVO_HOME, else the current directory. Exit codes: 0 done; 1 the work failed (the\n"
         "reason on stderr), or for status: something needs attention; 2 a usage error.\n\n"
         "commands:\n";
  size_t width = 0;
  for (const auto& [name, cmd] : trelvo::admin::Registry()) width = std::max(width, name.size());
  for (const auto& [name, cmd] : trelvo::admin::Registry())
    out << "  " << name << std::string(width + 2 - name.size(), ' ') << trelvo::admin::Summary(cmd) << "\n";
}

void PrintCommandHelp(const TCommand& cmd) {
  std::cout << "usage: trelvo-admin " << Synopsis(cmd) << "\n\n";
  if (cmd.Help.empty())
    std::cout << trelvo::admin::Summary(cmd) << "\n";
  else
    std::cout << cmd.Help << (cmd.Help.back() == '\n' ? "" : "\n");
}

bool WantsHelp(int argc, char** argv) {
  for (int i = 2; i < argc; ++i)
    if (std::string(argv[i]) == "--help" || std::string(argv[i]) == "-h") return true;
  return false;
}

void CheckOptions(const TCommand& cmd, const trelvo::admin::TArgs& args) {
  if (cmd.Help.empty()) return;
  for (const std::string& name : args.OptionNames()) {
    bool known = name == "home";
    for (const auto& o : cmd.Options) known = known || o == name;
    for (const auto& f : cmd.Flags) known = known || f == name;
    if (!known) throw trelvo::admin::EUsage("unknown option --" + name);
  }
}

}  // namespace

int main(int argc, char** argv) {
  using namespace trelvo::admin;
  if (argc < 2) {
    PrintHelp(std::cerr);
    return 2;
  }
  const std::string first = argv[1];
  if (first == "--version") {
    std::cout << "trelvo-admin " << TRELVO_VERSION << "\n";
    return 0;
  }
  if (first == "help" || first == "--help" || first == "-h") {
    if (argc < 3) {
      PrintHelp(std::cout);
      return 0;
    }
    auto it = Registry().find(argv[2]);
    if (it == Registry().end()) {
      std::cerr << "trelvo-admin help: unknown command '" << argv[2] << "'\n";
      return 2;
    }
    PrintCommandHelp(it->second);
    return 0;
  }
  auto it = Registry().find(first);
  if (it == Registry().end()) {
    std::cerr << "trelvo-admin: unknown command '" << first << "'\n\n";
    PrintHelp(std::cerr);
    return 2;
  }
  if (WantsHelp(argc, argv)) {
    PrintCommandHelp(it->second);
    return 0;
  }
  try {
    std::vector<std::string> words(argv + 2, argv + argc);
    TArgs args(words, it->second.Flags);
    CheckOptions(it->second, args);
    return it->second.Run(args);
  } catch (const EUsage& e) {
    std::cerr << "trelvo-admin " << it->first << ": " << e.what() << "\nusage: trelvo-admin " << Synopsis(it->second)
              << "\n(trelvo-admin " << it->first << " --help tells more)\n";
    return 2;
  } catch (const std::exception& e) {
    std::cerr << "trelvo-admin " << it->first << ": " << e.what() << "\n";
    return 1;
  }
}
