#include "data/SentRows.h"

#include <string>
#include <unordered_map>

namespace trelvo {

namespace {

// A row as one text: its fields' text forms, separated by a byte no field
// text holds.
std::string RowText(TDbTable& table) {
  std::string text;
  for (int i = 0; i < table.FieldCount(); ++i) {
    if (i) text += '\x1f';
    TDbField& f = table.Fields(i);
    text += f.IsNull() ? std::string("\x1e") : f.AsString();
  }
  return text;
}

long long RemoveKind(TDbTable& sent, TDbTable& exchange, TRunReport& report) {
  sent.Open();
  TTableCloser closeSent(sent);
  std::unordered_map<std::string, int> left;
  for (sent.First(); !sent.Eof(); sent.Next()) ++left[RowText(sent)];
  sent.Close();

  exchange.Open();
  TTableCloser closeExchange(exchange);
  TDbDatabase& db = exchange.Database();
  db.StartTransaction();
  try {
    long long kept = 0;
    exchange.First();
    while (!exchange.Eof()) {
      auto it = left.find(RowText(exchange));
      if (it != left.end() && it->second > 0) {
        --it->second;
        exchange.Delete();
      } else {
        ++kept;
        exchange.Next();
      }
      report.ProcessMessages();
    }
    db.Commit();
    return kept;
  } catch (...) {
    if (db.InTransaction()) db.Rollback();
    throw;
  }
}

}  // namespace

long long RemoveSentExchangeRows(TTables& tables, TRunReport& report) {
  struct TPair {
    TDbTable& Sent;
    TDbTable& Exchange;
  };
  const TPair pairs[] = {{tables.TblZNetAsiTmp, tables.TblZNetAsi},
                         {tables.TblZNetKoTmp, tables.TblZNetKo},
                         {tables.TblZNetKoPaTmp, tables.TblZNetKoPa},
                         {tables.TblZNetTiTmp, tables.TblZNetTi}};
  long long kept = 0;
  for (const TPair& p : pairs) kept += RemoveKind(p.Sent, p.Exchange, report);
  return kept;
}

}  // namespace trelvo
