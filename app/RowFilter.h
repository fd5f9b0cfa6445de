#pragma once

#include <QRegularExpression>
#include <QString>
#include <functional>
#include <vector>

#include "app/ColumnDef.h"

namespace quv {

// One term of the filter: a text or an expression, looked for in one named
// column or in any shown column, maybe negated.
struct TFilterTerm {
  QString Field;  // letters and digits without case and accents; empty: any shown column
  QString Text;
  bool IsPattern = false;
  QRegularExpression Pattern;
  bool Negated = false;
};

// A filter bound to the columns of one list: tests rows by their cells.
class TRowMatcher final {
 public:
  // `cell` gives the text of a column of the row.
  bool Matches(const std::function<QString(int column)>& cell) const;

 private:
  friend class TRowFilter;
  struct TBoundTerm {
    TFilterTerm Term;
    int Column;  // -1: any of FTextColumns
  };
  bool TermMatches(const TBoundTerm& bound, const std::function<QString(int)>& cell) const;

  std::vector<TBoundTerm> FTerms;
  std::vector<int> FTextColumns;  // the shown columns, which plain terms look in
};

// The filter box's text as a test on rows. The text is terms separated by
// blanks (double quotes hold blanks and colons), all of which a row must
// pass. A term is text looked for as it stands, or /re/ a regular
// expression, both without regard to case; `name:value` looks only in the
// column of that name (its title without case and accents, or an alias such
// as `user`), `!term` or `-term` negates. A field the list does not have
// leaves that list alone. A whole text written /re/ is one expression, blanks
// included. An empty text keeps every row; so does a text with an
// expression that does not compile (IsValid says so).
class TRowFilter final {
 public:
  TRowFilter() = default;
  explicit TRowFilter(const QString& text);

  bool IsEmpty() const { return FTerms.empty(); }
  bool IsValid() const { return FValid; }
  // The filter for a list with these columns; field names are looked up once here.
  TRowMatcher For(const std::vector<TColumnDef>& columns) const;

 private:
  std::vector<TFilterTerm> FTerms;
  bool FValid = true;
};

}  // namespace quv
