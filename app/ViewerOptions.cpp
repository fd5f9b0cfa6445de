#include "app/ViewerOptions.h"

#include <QCommandLineParser>

#include "platform/Clock.h"
#include "platform/Cp1252.h"
#include "platform/DateTime.h"
#include "platform/ProgramIo.h"
#include "platform/UserFolders.h"
#include "transport/quvAddress.h"

namespace quv {

namespace {

// Qt's messages end in a full stop; ours go on after them.
std::string WithoutFullStop(const QString& text) {
  std::string message = text.toStdString();
  if (!message.empty() && message.back() == '.') message.pop_back();
  return message;
}

void SetError(TViewerOptions& options, const std::string& error) {
  if (options.Error.empty()) options.Error = error;
}

// The options that QGuiApplication and QApplication take out of the command
// line themselves; they are accepted here so that the whole command line is
// checked before Qt starts.
QList<QCommandLineOption> QtOwnOptions() {
  QList<QCommandLineOption> options;
  for (const char* name : {"platform", "platformpluginpath", "platformtheme", "plugin",
                           "qwindowgeometry", "qwindowicon", "qwindowtitle", "session", "display",
                           "geometry", "title", "icon", "style", "stylesheet", "qmljsdebugger"})
    options.append(QCommandLineOption(name, "", "value"));
  for (const char* name : {"reverse", "widgetcount", "testability", "nograb", "dograb", "sync"})
    options.append(QCommandLineOption(name));
  return options;
}

// The first unknown option as it was written, with its dashes.
std::string UnknownOptionAsWritten(const QCommandLineParser& parser, const QStringList& arguments) {
  const QString name = parser.unknownOptionNames().front();
  for (const QString& argument : arguments) {
    if (argument == "--") break;
    QString bare = argument.section('=', 0, 0);
    while (bare.startsWith('-')) bare.remove(0, 1);
    if (argument.startsWith('-') && bare == name) return argument.toStdString();
  }
  return "--" + name.toStdString();
}

// The value of `option` as a whole number of at least `least`.
int NumberOption(const QCommandLineParser& parser, const QCommandLineOption& option, int least,
                 int fallback, TViewerOptions& options) {
  if (!parser.isSet(option)) return fallback;
  bool ok = false;
  const int value = parser.value(option).toInt(&ok);
  if (ok && value >= least) return value;
  SetError(options, "--" + option.names().front().toStdString() +
                        " needs a whole number of at least " + std::to_string(least));
  return fallback;
}

void ReadOnceOptions(const QCommandLineParser& parser, TViewerOptions& options) {
  const QCommandLineOption count("count", "", "N");
  const QCommandLineOption interval("interval", "", "S");
  options.Once = parser.isSet("once");
  options.Sessions = parser.isSet("sessions");
  options.Json = parser.isSet("json");
  options.Csv = parser.isSet("csv");
  options.Count = NumberOption(parser, count, 1, 1, options);
  options.IntervalSeconds = NumberOption(parser, interval, 0, 1, options);
  const QCommandLineOption olderThan("older-than", "", "S");
  options.OlderThanSeconds = NumberOption(parser, olderThan, 0, -1, options);
  if (options.Json && options.Csv) SetError(options, "--json and --csv exclude each other");
  if ((parser.isSet(count) || parser.isSet(interval) || parser.isSet(olderThan)) && !options.Once)
    SetError(options, "--count, --interval and --older-than need --once");
  if ((options.Sessions || options.Json || options.Csv) && !options.Once &&
      !parser.isSet("history"))
    SetError(options, "--sessions, --json and --csv need --once or --history");
  if (parser.isSet(olderThan) && options.Sessions)
    SetError(options, "--older-than looks at tasks, not at --sessions");
}

// The instant of option `name` as TryTextToDateTime reads it.
std::optional<double> InstantOption(const QCommandLineParser& parser, const char* name,
                                    TViewerOptions& options) {
  if (!parser.isSet(name)) return std::nullopt;
  double value = 0;
  const std::string text = parser.value(name).toStdString();
  if (TryTextToDateTime(text, Clock().Now(), value)) return value;
  SetError(options, "--" + std::string(name) + ": '" + text +
                        "' is no instant (yyyy-mm-dd [hh:nn[:ss]], hh:nn[:ss], -30m, now)");
  return std::nullopt;
}

void ReadHistoryOptions(const QCommandLineParser& parser, TViewerOptions& options) {
  options.HistoryFile = parser.value("history").toStdString();
  options.At = InstantOption(parser, "at", options);
  options.From = InstantOption(parser, "from", options);
  options.To = InstantOption(parser, "to", options);
  options.Longest = NumberOption(parser, QCommandLineOption("longest", "", "N"), 1, 0, options);
  options.Events = parser.isSet("events");
  options.Host = parser.value("host").toStdString();
  const bool history = parser.isSet("history");
  if (history && options.HistoryFile.empty()) SetError(options, "--history needs a file name");
  const int questions = parser.isSet("at") + parser.isSet("longest") + options.Events;
  if (!history && (questions > 0 || parser.isSet("from") || parser.isSet("to") ||
                   parser.isSet("host")))
    SetError(options, "--at, --longest, --events, --from, --to and --host need --history");
  if (history && questions != 1)
    SetError(options, "--history needs one of --at TIME, --longest N and --events");
  if ((parser.isSet("from") || parser.isSet("to")) && parser.isSet("at"))
    SetError(options, "--from and --to go with --longest or --events, not with --at");
  if (options.Sessions && history && !parser.isSet("at"))
    SetError(options, "--sessions goes with --at");
  if (options.From && options.To && *options.From > *options.To)
    SetError(options, "--from is later than --to");
  if (history && (options.Once || options.Serve || parser.isSet("record")))
    SetError(options, "--history reads a record file; it goes without --once, --serve and --record");
}

// A bare --record (last, or followed by another option) names the default
// file: written as --record= for the parser, which wants a value.
QStringList WithBareRecordMarked(const QStringList& arguments) {
  QStringList marked = arguments;
  for (int i = 0; i < marked.size(); ++i) {
    if (marked[i] == "--") break;
    const bool bare = marked[i] == "--record" || marked[i] == "-record";
    if (bare && (i + 1 == marked.size() || marked[i + 1].startsWith('-'))) marked[i] = "--record=";
  }
  return marked;
}

void ReadMetricsOption(const QCommandLineParser& parser, TViewerOptions& options) {
  if (!parser.isSet("metrics")) return;
  if (!options.Serve) SetError(options, "--metrics needs --serve");
  TMetricsEndpoint endpoint;
  std::string problem;
  if (ParseMetricsEndpoint(parser.value("metrics").toStdString(), endpoint, problem))
    options.Metrics = endpoint;
  else
    SetError(options, "--metrics: " + problem);
}

}  // namespace

TViewerOptions ParseViewerArguments(const QStringList& arguments) {
  QCommandLineParser parser;
  parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
  const QCommandLineOption help(QStringList{"h", "help"});
  const QCommandLineOption version("version");
  const QCommandLineOption settings("settings", "", "FILE");
  parser.addOptions({help, version, settings, QCommandLineOption("once"),
                     QCommandLineOption("sessions"), QCommandLineOption("json"),
                     QCommandLineOption("csv"), QCommandLineOption("count", "", "N"),
                     QCommandLineOption("interval", "", "S"),
                     QCommandLineOption("older-than", "", "S"), QCommandLineOption("serve"),
                     QCommandLineOption("record", "", "FILE"),
                     QCommandLineOption("history", "", "FILE"), QCommandLineOption("at", "", "TIME"),
                     QCommandLineOption("from", "", "TIME"), QCommandLineOption("to", "", "TIME"),
                     QCommandLineOption("longest", "", "N"), QCommandLineOption("events"),
                     QCommandLineOption("host", "", "H"),
                     QCommandLineOption("metrics", "", "ADDR:PORT"), QCommandLineOption("tui")});
  parser.addOptions(QtOwnOptions());
  parser.addPositionalArgument("server-address", "");
  TViewerOptions options;
  // The parser takes the program's name first.
  if (!parser.parse(QStringList{"quvtasks"} + WithBareRecordMarked(arguments))) {
    SetError(options,
             parser.unknownOptionNames().isEmpty()
                 ? WithoutFullStop(parser.errorText())
                 : program::StrayArgumentText(UnknownOptionAsWritten(parser, arguments), false));
  }
  options.Help = parser.isSet(help);
  options.Version = parser.isSet(version);
  options.SettingsFile = parser.value(settings).toStdString();
  if (parser.isSet(settings) && options.SettingsFile.empty())
    SetError(options, "--settings needs a file name");
  ReadOnceOptions(parser, options);
  options.Serve = parser.isSet("serve");
  if (options.Serve && options.Once) SetError(options, "--serve and --once exclude each other");
  options.RecordFile = parser.value("record").toStdString();
  if (parser.isSet("record") && options.RecordFile.empty()) options.RecordFile = DefaultRecordFile();
  if (parser.isSet("record") && options.Once) SetError(options, "--record goes without --once");
  ReadHistoryOptions(parser, options);
  ReadMetricsOption(parser, options);
  options.Tui = parser.isSet("tui");
  if (options.Tui && (options.Once || options.Serve || parser.isSet("history")))
    SetError(options, "--tui shows the servers on the terminal; it goes without --once, --serve "
                      "and --history");
  if (parser.positionalArguments().size() > 1)
    SetError(options,
             program::StrayArgumentText(parser.positionalArguments().at(1).toStdString(), false));
  if (!parser.positionalArguments().isEmpty() && parser.isSet("history"))
    SetError(options, "--history reads a record file, not a server: no server-address");
  if (!parser.positionalArguments().isEmpty()) {
    options.Address = parser.positionalArguments().front().toStdString();
    try {
      Utf8ToCp1252Exact(*options.Address);
    } catch (const ECodePageError& e) {
      SetError(options, "server-address: " + std::string(e.what()));
    }
    if (const std::string problem = AddressProblem(*options.Address); !problem.empty())
      SetError(options, "server-address: " + problem);
  }
  return options;
}

std::string DefaultRecordFile() { return UserDataFolder() + "/quvtasks/gravacao.db"; }

}  // namespace quv
