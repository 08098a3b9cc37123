#pragma once
// The operator tool's frame. Each subcommand lives in its own file and
// registers itself with TRELVO_ADMIN_COMMAND, so adding one touches no list.
//
// Exit codes: 0 success, 1 the work failed (reason on stderr), 2 usage error.
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace trelvo::admin {

class EUsage : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Parsed arguments: positional words and "--name value" / "--flag" options.
class TArgs {
 public:
  // flags: options that take no value (e.g. {"passive", "verbose"}).
  TArgs(const std::vector<std::string>& words, const std::vector<std::string>& flags);
  size_t Count() const { return Positional_.size(); }
  const std::string& At(size_t i) const;  // throws EUsage when missing
  std::string Get(size_t i, const std::string& def) const { return i < Count() ? Positional_[i] : def; }
  bool Has(const std::string& option) const { return Options_.count(option) > 0; }
  std::string Option(const std::string& option, const std::string& def = "") const;
  // Throws EUsage unless there are between min and max positional words.
  void Expect(size_t min, size_t max) const;
  std::vector<std::string> OptionNames() const;

 private:
  std::vector<std::string> Positional_;
  std::map<std::string, std::string> Options_;
};

// The installation directory: --home DIR, else TRELVO_HOME, else the current directory.
std::string HomeDir(const TArgs& args);

struct TCommand {
  std::string Name;
  std::string Usage;  // the synopsis, one line
  std::vector<std::string> Flags;
  std::function<int(const TArgs&)> Run;
  // What "COMMAND --help" prints: a summary line, then the details. The
  // summary is what "trelvo-admin help" lists.
  std::string Help;
  // Options that take a value. A command with Help refuses any option that
  // is neither one of these, nor a flag, nor --home.
  std::vector<std::string> Options;
};

// The first line of a command's help (or, for a command without help, the
// text after the synopsis in Usage).
std::string Summary(const TCommand& command);

std::map<std::string, TCommand>& Registry();

struct TRegistrar {
  explicit TRegistrar(TCommand command);
};

}  // namespace trelvo::admin

#define TRELVO_ADMIN_CONCAT2(a, b) a##b
#define TRELVO_ADMIN_CONCAT(a, b) TRELVO_ADMIN_CONCAT2(a, b)
#define TRELVO_ADMIN_COMMAND(...) \
  static ::trelvo::admin::TRegistrar TRELVO_ADMIN_CONCAT(trelvo_admin_registrar_, __LINE__)(::trelvo::admin::TCommand{__VA_ARGS__})
