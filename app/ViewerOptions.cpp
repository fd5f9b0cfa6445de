#include "app/ViewerOptions.h"

#include <QCommandLineParser>

#include "platform/Cp1252.h"

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

}  // namespace

TViewerOptions ParseViewerArguments(const QStringList& arguments) {
  QCommandLineParser parser;
  parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
  const QCommandLineOption help(QStringList{"h", "help"});
  const QCommandLineOption version("version");
  const QCommandLineOption settings("settings", "", "FILE");
  parser.addOptions({help, version, settings});
  parser.addPositionalArgument("server-address", "");
  TViewerOptions options;
  // The parser takes the program's name first.
  if (!parser.parse(QStringList{"quvtasks"} + arguments))
    SetError(options, WithoutFullStop(parser.errorText()));
  options.Help = parser.isSet(help);
  options.Version = parser.isSet(version);
  options.SettingsFile = parser.value(settings).toStdString();
  if (parser.isSet(settings) && options.SettingsFile.empty())
    SetError(options, "--settings needs a file name");
  if (!parser.positionalArguments().isEmpty()) {
    options.Address = parser.positionalArguments().front().toStdString();
    try {
      Utf8ToCp1252Exact(*options.Address);
    } catch (const ECodePageError& e) {
      SetError(options, "server-address: " + std::string(e.what()));
    }
  }
  return options;
}

}  // namespace quv
