#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/IniFile.h"

namespace quv {

// A descriptor is a short INI text: a larger one, local or from a server, is
// refused.
inline constexpr int64_t kMaxDescriptorBytes = int64_t(1) << 20;

// An update descriptor (".upd"): an INI text that describes one published
// file. Section "Attributes": GlobalVersion, CheckSum (CRC-32 of the file,
// unsigned decimal), Age (the file's date stamp, seconds since 1970),
// Exists, UnzipPackPending, IsPack, IsFont, IsCOMObj, ExecWhenUpd, Mode (the
// octal mode of the file when it is new), RegisterPending (in a local
// descriptor: the file is still to be registered); a section
// named by an older CheckSum holds Diff_Files, the difference leading from
// that version; section "hard_dependencies" lists files to load first (one
// per entry, the keys only number them); section "source" maps an
// operating-system name or ELSE to the file to fetch. Any text reads as some
// descriptor: missing or malformed values read as their defaults. Reading
// takes time in proportion to the text, and every lookup is indexed.
class TUpdateDescriptor final {
 public:
  TUpdateDescriptor() : FIni(TIniFile::FromText("")) {}
  explicit TUpdateDescriptor(std::string text);
  // The descriptor in `fileName`; an empty one when the file is missing.
  // Raises EFileError "FILE: REASON" when it cannot be read, is a folder or
  // is larger than 1 MiB.
  static TUpdateDescriptor FromFile(const std::string& fileName);

  const std::string& Text() const { return FText; }
  std::string Attribute(const std::string& key) const;
  // "0", "false" and "no" are false, "1", "true" and "yes" true (any case);
  // anything else, or no value, gives `defaultValue`.
  bool Flag(const std::string& key, bool defaultValue = false) const;

  bool Exists() const { return Flag("Exists", true); }
  uint32_t CheckSum() const;
  int64_t Age() const;
  std::string GlobalVersion() const { return Attribute("GlobalVersion"); }
  bool UnzipPackPending() const { return Flag("UnzipPackPending"); }
  // "Mode": one to four octal digits; their permission bits (0777), or none.
  std::optional<uint32_t> Mode() const;
  // The difference published for a local copy of checksum `oldChecksum`, or "".
  std::string DiffFile(uint32_t oldChecksum) const;
  std::vector<std::string> HardDependencies() const;
  // The file to fetch on `osName`: its "source" entry, else ELSE, else `name`.
  std::string SourceFor(const std::string& osName, const std::string& name) const;

  // Sets or removes a value of section "Attributes", keeping the other lines.
  void SetAttribute(const std::string& key, const std::string& value);
  void RemoveAttribute(const std::string& key);

 private:
  std::string FText;
  TIniFile FIni;
};

}  // namespace quv
