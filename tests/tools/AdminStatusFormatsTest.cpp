// trelvo-admin status --json and --prometheus: the same facts as the text
// view, in formats a program reads; the exit codes do not change with them.
#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>
#include <map>
#include <regex>
#include <set>
#include <sstream>

#include "TestSupport.h"
#include "common/IniFile.h"

using namespace trelvo;
using namespace trelvo::test;

namespace {

std::string Admin() { return BinaryDir() + "/tools/trelvo-admin"; }

// UTC+2 without daylight saving and without tzdata, so that offsets and
// timestamps are known: 04.03.2026 08:00:00 there is 1772604000.
const char* kZone = "TZ=EET-2 ";

struct TInstall {
  TTempDir Dir;
  std::string Home;
  TInstall(const std::string& role, const std::string& client) : Home(Dir / "inst/") {
    EXPECT_EQ(0, RunCommand(Admin() + " init " + Home + " --role " + role + " --client " + client + " >/dev/null"));
  }
  void Set(const std::string& key, const std::string& value, const std::string& file = "Sorvel.ini",
           const std::string& section = "Internet") {
    TIniFile(Home + file).WriteString(section, key, value);
  }
  int Status(const std::string& format, std::string& out) {
    return RunCommand(kZone + Admin() + " status " + format + " --home " + Home + " --at '04.03.2026 08:00:00'", &out);
  }
};

QJsonObject ParseJson(const std::string& text) {
  QJsonParseError error{};
  const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(text), &error);
  EXPECT_EQ(QJsonParseError::NoError, error.error) << error.errorString().toStdString() << "\n" << text;
  EXPECT_TRUE(doc.isObject()) << text;
  return doc.object();
}

std::string S(const QJsonValue& v) { return v.toString().toStdString(); }

// A strict reader of the metrics text format: every line a HELP, a TYPE or a
// sample; HELP and TYPE once per family and before its samples; a family's
// samples together; no series twice; label values escaped; a newline at the
// end. Returns the samples as "name{label="value",...}" -> value.
std::map<std::string, double> ParseMetrics(const std::string& text) {
  std::map<std::string, double> samples;
  EXPECT_TRUE(!text.empty() && text.back() == '\n');
  static const std::regex help(R"(# HELP ([a-zA-Z_:][a-zA-Z0-9_:]*) \S.*)");
  static const std::regex type(R"(# TYPE ([a-zA-Z_:][a-zA-Z0-9_:]*) (gauge|counter|untyped|summary|histogram))");
  static const std::regex sample(
      R"(([a-zA-Z_:][a-zA-Z0-9_:]*)(\{(?:[a-zA-Z_][a-zA-Z0-9_]*="(?:[^"\\\n]|\\[\\"n])*")(?:,[a-zA-Z_][a-zA-Z0-9_]*="(?:[^"\\\n]|\\[\\"n])*")*\})? (\S+))");
  std::set<std::string> helped, typed, finished;
  std::string current;  // the family whose samples are being read
  std::istringstream in(text);
  std::string line;
  int n = 0;
  while (std::getline(in, line)) {
    ++n;
    SCOPED_TRACE("line " + std::to_string(n) + ": " + line);
    std::smatch m;
    auto family = [&](const std::string& name) {
      if (name != current) {
        EXPECT_EQ(0u, finished.count(name)) << "samples of " << name << " are not together";
        if (!current.empty()) finished.insert(current);
        current = name;
      }
    };
    if (std::regex_match(line, m, help)) {
      EXPECT_TRUE(helped.insert(m[1]).second) << "second HELP";
      EXPECT_EQ(0u, finished.count(m[1]));
    } else if (std::regex_match(line, m, type)) {
      EXPECT_TRUE(typed.insert(m[1]).second) << "second TYPE";
      family(m[1]);
    } else if (std::regex_match(line, m, sample)) {
      EXPECT_EQ(1u, typed.count(m[1])) << "sample before its TYPE";
      family(m[1]);
      size_t used = 0;
      const double value = std::stod(m[3].str(), &used);
      EXPECT_EQ(m[3].str().size(), used) << "not a number";
      EXPECT_TRUE(samples.emplace(m[1].str() + m[2].str(), value).second) << "series twice";
    } else {
      ADD_FAILURE() << "not a line of the format";
    }
  }
  return samples;
}

// The promtool of Debian's prometheus package, where it is installed, is the
// format's own judge.
void CheckWithPromtool(const TTempDir& dir, const std::string& text) {
  if (RunCommand("command -v promtool >/dev/null") != 0) return;
  WriteFile(dir / "metrics.prom", text);
  std::string out;
  EXPECT_EQ(0, RunCommand("promtool check metrics < " + dir / "metrics.prom" + " 2>&1", &out)) << out << text;
}

std::vector<std::string> AttentionLines(const std::string& text) {
  std::vector<std::string> lines;
  const size_t at = text.find("Needs attention:\n");
  if (at == std::string::npos) return lines;
  std::istringstream in(text.substr(at + 17));
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("  - ", 0) == 0) lines.push_back(line.substr(4));
  return lines;
}

std::string Home(const TInstall& i) { return "{home=\"" + i.Home + "\""; }

}  // namespace

TEST(AdminStatusFormats, SiteGivesTheTextViewsFactsAsJsonAndMetrics) {
  TInstall site("client", "01");
  site.Set("SendDate", "03.03.2026");
  site.Set("RecvDate", "02.03.2026");
  site.Set("MasterFile", "Master_20260302230000.Zip");
  site.Set("ClientRecvRetries", "3", "RunState.ini", "RunState");
  site.Set("ZipEncryption", "AES256");  // only the two items below need attention
  for (const char* name : {"Zuze01_20260301220000.Zip", "Zuze01_20260303220000.Zip"})
    WriteFile(site.Home + "FtpSiirto/" + name, "");
  WriteFile(site.Home + "INet/Log/Masterissa_01.log",
            "Zuze01_20260228220000.Zip  Ok\nZuze01_20260301220000.Zip  ERROR01\n");
  // A run log's last line with what JSON must escape, and a byte that is not UTF-8.
  WriteFile(site.Home + "Backup/Zuze01_20260303220000.Log", "Siirto valmis : \"x\\y\"\t\xE4\n");

  std::string text, json, metrics;
  ASSERT_EQ(1, site.Status("", text)) << text;
  ASSERT_EQ(1, site.Status("--json", json)) << json;
  ASSERT_EQ(1, site.Status("--prometheus", metrics)) << metrics;

  const QJsonObject o = ParseJson(json);
  EXPECT_EQ("client", S(o["role"]));
  EXPECT_EQ("01", S(o["site"]));
  EXPECT_EQ("2026-03-04T08:00:00+02:00", S(o["now"]));
  const QJsonObject send = o["directions"]["send"].toObject(), recv = o["directions"]["receive"].toObject();
  EXPECT_EQ("waiting", S(send["state"]));
  EXPECT_EQ("2026-03-03", S(send["last_success"]));
  EXPECT_EQ("2026-03-04T22:00:00+02:00", S(send["next_due"]));
  EXPECT_EQ("blocked", S(recv["state"]));
  EXPECT_EQ(3, recv["retries"].toInt());
  EXPECT_TRUE(recv["next_due"].isNull());
  EXPECT_TRUE(o["database"]["reachable"].toBool());
  EXPECT_EQ(0, o["pending_rows"]["ZNetKo"].toInt(-1));
  const QJsonArray waiting = o["unconfirmed_packages"].toArray();
  ASSERT_EQ(2, waiting.size());
  EXPECT_EQ("Zuze01_20260301220000.Zip", S(waiting[0]["name"]));
  EXPECT_EQ(2 * 86400 + 10 * 3600, waiting[0]["age_seconds"].toInt());
  EXPECT_EQ("Master_20260302230000.Zip", S(o["master_package"]["name"]));
  EXPECT_EQ("ERROR01", S(o["result_log"]["last_status"]));
  EXPECT_EQ("Siirto valmis : \"x\\y\"\t\xEF\xBF\xBD", S(o["logs"]["newest_run_log_last_line"]));

  // The attention items are the text view's, reason by reason.
  const std::vector<std::string> lines = AttentionLines(text);
  const QJsonArray attention = o["attention"].toArray();
  ASSERT_EQ(lines.size(), static_cast<size_t>(attention.size())) << text << json;
  for (int i = 0; i < attention.size(); ++i) EXPECT_EQ(lines[i], S(attention[i]["message"]));
  EXPECT_EQ("direction_blocked", S(attention[0]["reason"]));
  EXPECT_EQ("receive", S(attention[0]["subject"]));
  std::vector<std::string> reasons;
  for (const auto& a : attention) reasons.push_back(S(a.toObject()["reason"]));
  EXPECT_NE(std::find(reasons.begin(), reasons.end(), "package_not_unpacked"), reasons.end()) << json;

  const std::map<std::string, double> m = ParseMetrics(metrics);
  CheckWithPromtool(site.Dir, metrics);
  const std::string h = Home(site);
  const std::map<std::string, double> expected = {
      {"trelvo_status_timestamp_seconds" + h + "}", 1772604000},
      {"trelvo_last_success_timestamp_seconds" + h + ",direction=\"send\"}", 1772488800},
      {"trelvo_retries" + h + ",direction=\"receive\"}", 3},
      {"trelvo_direction_blocked" + h + ",direction=\"receive\"}", 1},
      {"trelvo_direction_blocked" + h + ",direction=\"send\"}", 0},
      {"trelvo_next_due_timestamp_seconds" + h + ",direction=\"send\"}", 1772654400},
      {"trelvo_pending_rows" + h + ",table=\"ZNetTila\"}", 0},
      {"trelvo_unconfirmed_packages" + h + "}", 2},
      {"trelvo_oldest_unconfirmed_package_age_seconds" + h + "}", 2 * 86400 + 10 * 3600},
      {"trelvo_attention" + h + ",reason=\"direction_blocked\"}", 1},
      {"trelvo_attention" + h + ",reason=\"package_not_unpacked\"}", 1},
      {"trelvo_attention" + h + ",reason=\"site_stale\"}", 0},
  };
  for (const auto& [series, value] : expected) {
    ASSERT_TRUE(m.count(series)) << series << "\n" << metrics;
    EXPECT_EQ(value, m.at(series)) << series;
  }
  EXPECT_FALSE(m.count("trelvo_next_due_timestamp_seconds" + h + ",direction=\"receive\"}"));
}

TEST(AdminStatusFormats, HeadOfficeSitesAndAnUnreachableDatabase) {
  TInstall office("master", "01");
  office.Set("SendDate", "03.03.2026");
  office.Set("RecvDate", "03.03.2026");
  const std::string log = office.Home + "INet/Log/";
  WriteFile(log + "Masterissa_01.log", "Zuze01_20260303220000.Zip  Ok\n");
  WriteFile(log + "Masterissa_02.log", "Zuze02_20260227220000.Zip  ERROR01 \"late\\\n");

  std::string json, metrics;
  ASSERT_EQ(1, office.Status("--json", json)) << json;
  ASSERT_EQ(1, office.Status("--prometheus", metrics)) << metrics;
  const QJsonObject o = ParseJson(json);
  EXPECT_EQ("master", S(o["role"]));
  EXPECT_TRUE(o["site"].isNull());
  EXPECT_TRUE(o["master_package"].isNull());
  const QJsonArray sites = o["sites"].toArray();
  ASSERT_EQ(2, sites.size());
  EXPECT_EQ("02", S(sites[1]["site"]));
  EXPECT_EQ("ERROR01 \"late\\", S(sites[1]["status"]));
  EXPECT_EQ(4 * 86400 + 10 * 3600, sites[1]["last_package"]["age_seconds"].toInt());

  const std::map<std::string, double> m = ParseMetrics(metrics);
  CheckWithPromtool(office.Dir, metrics);
  const std::string h = Home(office);
  EXPECT_EQ(4 * 86400 + 10 * 3600, m.at("trelvo_site_last_package_age_seconds" + h + ",site=\"02\"}"));
  EXPECT_EQ(1, m.at("trelvo_site_last_package_status" + h + ",site=\"02\",status=\"ERROR01 \\\"late\\\\\"}"));
  EXPECT_EQ(1, m.at("trelvo_attention" + h + ",reason=\"site_stale\"}"));
  EXPECT_EQ(1, m.at("trelvo_database_up" + h + "}"));

  // Without its tables the database cannot be read: no pending rows to show.
  RunCommand("rm -rf " + office.Home + "Data");
  ASSERT_EQ(1, office.Status("--json", json)) << json;
  ASSERT_EQ(1, office.Status("--prometheus", metrics)) << metrics;
  const QJsonObject gone = ParseJson(json);
  EXPECT_FALSE(gone["database"]["reachable"].toBool()) << json;
  EXPECT_TRUE(gone["pending_rows"].isNull()) << json;
  const std::map<std::string, double> down = ParseMetrics(metrics);
  EXPECT_EQ(0, down.at("trelvo_database_up" + h + "}"));
  EXPECT_EQ(1, down.at("trelvo_attention" + h + ",reason=\"database_unreachable\"}"));
  EXPECT_EQ(std::string::npos, metrics.find("trelvo_pending_rows")) << metrics;
}
