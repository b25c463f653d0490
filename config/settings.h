// The machine's start-up settings (configuration path, ports, command
// timeout and the console's own values), kept in a settings file of
// "Name=Value" lines:
//   path       $KRYCERTD_SETTINGS when set, else /etc/krycertd/settings
//              (read and written); when that cannot be opened,
//              $HOME/.config/krycertd/settings is read, never written.
//   lines      "Name=Value"; '#' starts a comment line; text values as they
//              are, 32-bit values in decimal. Lines with other names, and
//              comments, are kept when the file is written back.
//   writing    to a temporary file in the same directory, renamed over the
//              old file, so a crash never leaves half a file.
#pragma once

#include <cstdint>
#include <string>

namespace kry {

struct Globals;

// The settings as read. Text fields hold NUL-terminated text of at most
// their size minus one; a value that does not fit is treated as missing.
struct RegistrySettings {
  char ConfigFile[260];
  char Port[10];
  char SecurePort[10];
  char CommandPort[10];
  char CommandTimeout[10];
  uint32_t PortDisabled;
  uint32_t SecurePortDisabled;
  uint32_t DefaultPort;
  uint32_t DefaultSecurePort;
  uint32_t NoSignatureCheck;
  uint32_t RefreshTime;
  uint32_t AutoRefresh;
  char InstalledVersion[100];
};

// Zero-fills the record.
void ClearRegistrySettings(RegistrySettings* record);

// Fills the fields named in the file: "ConfigFile", "Port", "SecurePort",
// "InstalledVersion", "CommandTimeout" and "CommandPort" only while the
// field is empty; a 32-bit value only when it reads as a decimal number.
// Returns 1 when a settings file was read, 0 when none could be opened.
int ReadRegistrySettings(RegistrySettings* record);

// Writes every field into the machine-wide settings file (never the per-user
// fallback), keeping its other lines. The file is created when missing, but
// its directory is not. Returns 1 on success, 0 on failure.
int WriteRegistrySettings(const RegistrySettings& record);

// Applies the record at start-up: a non-empty ConfigFile becomes the
// configuration path; Port, SecurePort, CommandPort and CommandTimeout (16
// bits) are set from their decimal texts (atoi rules; empty gives 0; a port
// outside 0..65535 gives 0).
void ApplyRegistrySettings(const RegistrySettings& record, Globals* g);

// Refreshes the record from the settings in force before a write-back: the
// configuration path when not empty (and when it fits), and the regular
// port, secure port, command timeout and command port as decimal text; a
// port that will not be served (0, or the secure port with SecureMode
// disabled) sets PortDisabled or SecurePortDisabled, else clears it.
void RefreshRegistrySettings(const Globals& g, RegistrySettings* record);

// The file paths in use: the one written, and the one read (the first that
// opens, or the written one when none does).
std::string SettingsWritePath();

}  // namespace kry
