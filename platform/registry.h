// A read-only registry: named values under keys, one store file per hive.
//
// The machine hive is "tovnative/registry" below the first folder of
// XDG_CONFIG_DIRS (default /etc/xdg), the user hive the same file below
// XDG_CONFIG_HOME (default $HOME/.config). Both are read afresh at every
// look-up and never written. A store file looks like this:
//
//   [Software\WEQ\Weqgui]
//   LaunchWeqlogon = dword:1
//   Path = sz:/opt/weqgui/bin/weqgui
//
// Key and value names compare without regard to ASCII case; blanks and tabs
// around names, values and the text after the type are dropped; lines starting with ';' or '#' are
// comments. A value is "sz:" and UTF-8 text, or "dword:" and a decimal or
// 0x-hexadecimal number below 2^32; any other value has no usable type. The
// first matching value of the first matching key wins.
#ifndef PLATFORM_REGISTRY_H
#define PLATFORM_REGISTRY_H

#include <stddef.h>
#include <stdint.h>

enum PlatRegHive { PLAT_REG_MACHINE = 0, PLAT_REG_USER = 1 };

// Results of the look-ups.
enum PlatRegRc {
  PLAT_REG_OK = 0,
  PLAT_REG_ENOTFOUND = 2,  // no store, key or value
  PLAT_REG_ETYPE = 3,      // the value is of another type or malformed
  PLAT_REG_EMORE = 4,      // the text does not fit the buffer; nothing written
};

// Path of a hive's store file into buf (size bytes): true, or false when it
// has no place (no variable and no HOME) or does not fit.
bool PlatRegStorePath(PlatRegHive hive, char* buf, size_t size);

// The text of a string value with its terminator into buf (size bytes),
// whole or not at all.
int PlatRegGetString(PlatRegHive hive, const char* key, const char* name, char* buf, size_t size);
// A DWORD value into *value.
int PlatRegGetDword(PlatRegHive hive, const char* key, const char* name, uint32_t* value);

// The same look-ups on a store's text (len bytes, no terminator needed).
int PlatRegFindString(const char* text, size_t len, const char* key, const char* name, char* buf,
                      size_t size);
int PlatRegFindDword(const char* text, size_t len, const char* key, const char* name,
                     uint32_t* value);

#endif
