#include "app/RowFilter.h"

#include <algorithm>
#include <utility>

namespace quv {
namespace {

// Field names an operator types beside the titles, with the folded titles
// they stand for; of a name's titles, the first that the list has wins.
struct TFieldAlias {
  const char* Name;
  const char* Title;
};
constexpr TFieldAlias kFieldAliases[] = {
    {"user", "usuario"}, {"cmd", "commando"},  {"command", "commando"}, {"comando", "commando"},
    {"ip", "ipaddr"},    {"ip", "endereco"},   {"address", "endereco"}, {"address", "ipaddr"},
    {"state", "estado"}, {"cause", "causa"},   {"licence", "licenca"},  {"license", "licenca"},
    {"time", "tempo"},   {"logon", "dhlogon"},
};

// Names compare by letters and digits only, without case and accents
// ("Última resposta" as "ultimaresposta", "IP Addr" as "ipaddr").
QString FoldedName(const QString& name) {
  QString folded;
  for (const QChar c : name.normalized(QString::NormalizationForm_D))
    if (c.isLetterOrNumber()) folded += c.toCaseFolded();
  return folded;
}

// A term as typed: its text without quotes and sign, where its first colon
// outside quotes is, and the sign (! or -) it began with outside quotes.
struct TTypedTerm {
  QString Text;
  qsizetype Colon = -1;
  QChar Sign;
  bool Quoted = false;
};

// Splits at blanks outside double quotes; the quotes themselves are dropped.
std::vector<TTypedTerm> SplitTerms(const QString& text) {
  std::vector<TTypedTerm> terms;
  TTypedTerm term;
  bool inTerm = false;
  bool inQuotes = false;
  for (const QChar c : text) {
    if (c == u'"') {
      inQuotes = !inQuotes;
      term.Quoted = inTerm = true;
    } else if (inQuotes) {
      term.Text += c;
    } else if (c.isSpace()) {
      if (inTerm) terms.push_back(std::exchange(term, {}));
      inTerm = false;
    } else if (!inTerm && (c == u'!' || c == u'-')) {
      term.Sign = c;
      inTerm = true;
    } else {
      if (c == u':' && term.Colon < 0) term.Colon = term.Text.size();
      term.Text += c;
      inTerm = true;
    }
  }
  if (inTerm) terms.push_back(std::move(term));
  return terms;
}

bool IsPatternText(const QString& text) {
  return text.size() >= 2 && text.startsWith(u'/') && text.endsWith(u'/');
}

// Fills the text or the expression of a term from a value as typed.
void SetValue(TFilterTerm& term, const QString& value) {
  term.IsPattern = IsPatternText(value);
  if (term.IsPattern)
    term.Pattern = QRegularExpression(value.mid(1, value.size() - 2),
                                      QRegularExpression::CaseInsensitiveOption);
  else
    term.Text = value;
}

// A name before the colon is a field when it is letters only; otherwise the
// colon is part of the text (addresses such as 10.0.0.1:5000).
bool IsFieldName(const QString& name) {
  return !name.isEmpty() &&
         std::all_of(name.begin(), name.end(), [](QChar c) { return c.isLetter() || c.isMark(); });
}

TFilterTerm TermFrom(TTypedTerm typed) {
  // A sign alone is text to look for, not a negation of nothing.
  if (typed.Text.isEmpty() && !typed.Quoted && !typed.Sign.isNull())
    typed.Text = std::exchange(typed.Sign, QChar());
  TFilterTerm term;
  term.Negated = !typed.Sign.isNull();
  if (typed.Colon > 0 && IsFieldName(typed.Text.left(typed.Colon))) {
    term.Field = FoldedName(typed.Text.left(typed.Colon));
    SetValue(term, typed.Text.mid(typed.Colon + 1));
  } else {
    SetValue(term, typed.Text);
  }
  return term;
}

// The column a folded field name stands for on a list, -1 when it has none.
int ColumnNamed(const QString& field, const std::vector<QString>& foldedTitles) {
  const auto columnOf = [&](const QString& title) {
    const auto found = std::find(foldedTitles.begin(), foldedTitles.end(), title);
    return found == foldedTitles.end() ? -1 : static_cast<int>(found - foldedTitles.begin());
  };
  if (const int column = columnOf(field); column >= 0) return column;
  for (const TFieldAlias& alias : kFieldAliases)
    if (field == QLatin1String(alias.Name))
      if (const int column = columnOf(QLatin1String(alias.Title)); column >= 0) return column;
  return -1;
}

bool TextMatches(const TFilterTerm& term, const QString& cell) {
  return term.IsPattern ? term.Pattern.match(cell).hasMatch()
                        : cell.contains(term.Text, Qt::CaseInsensitive);
}

}  // namespace

TRowFilter::TRowFilter(const QString& text) {
  if (IsPatternText(text)) {
    TFilterTerm whole;
    SetValue(whole, text);
    FTerms.push_back(std::move(whole));
  } else {
    for (TTypedTerm& typed : SplitTerms(text)) FTerms.push_back(TermFrom(std::move(typed)));
  }
  FValid = std::all_of(FTerms.begin(), FTerms.end(), [](const TFilterTerm& term) {
    return !term.IsPattern || term.Pattern.isValid();
  });
}

TRowMatcher TRowFilter::For(const std::vector<TColumnDef>& columns) const {
  TRowMatcher matcher;
  if (!FValid) return matcher;
  std::vector<QString> foldedTitles;
  for (std::size_t i = 0; i < columns.size(); ++i) {
    foldedTitles.push_back(FoldedName(columns[i].Title));
    if (columns[i].Width > 0) matcher.FTextColumns.push_back(static_cast<int>(i));
  }
  for (const TFilterTerm& term : FTerms) {
    const int column = term.Field.isEmpty() ? -1 : ColumnNamed(term.Field, foldedTitles);
    if (term.Field.isEmpty() || column >= 0) matcher.FTerms.push_back({term, column});
  }
  return matcher;
}

bool TRowMatcher::Matches(const std::function<QString(int)>& cell) const {
  return std::all_of(FTerms.begin(), FTerms.end(), [&](const TBoundTerm& bound) {
    return TermMatches(bound, cell) != bound.Term.Negated;
  });
}

bool TRowMatcher::TermMatches(const TBoundTerm& bound,
                              const std::function<QString(int)>& cell) const {
  if (bound.Column >= 0) return TextMatches(bound.Term, cell(bound.Column));
  return std::any_of(FTextColumns.begin(), FTextColumns.end(),
                     [&](int column) { return TextMatches(bound.Term, cell(column)); });
}

}  // namespace quv
