// The native registry layer of the disk registry: reads the FT configuration blob
// ("Information" of \REGISTRY\MACHINE\SYSTEM\DISK) and patches drive letters in it.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "ftstate.h"
#include "ntplatform.h"
#include "nttypes.h"

// The native registry layer. Names are 8-bit and converted to UTF-16 for each call.
// Creates (or opens) a key, class className; handle may be null (the key is then closed).
NTSTATUS FtCreateKey(PHANDLE handle, const char* keyName, const char* className);
// Opens a key; when that fails and className is given, creates it.
NTSTATUS FtOpenKey(PHANDLE handle, const char* keyName, const char* className);
NTSTATUS FtDeleteValue(HANDLE key, const char* valueName);
NTSTATUS FtSetValue(HANDLE key, const char* valueName, void* data, ULONG dataLength, ULONG type);
// Reads a value of the disk key. On success *valuePtr points at the blob inside *freeToPtr
// and *length is the blob's used length; *freeToPtr (C heap) is the caller's to free
// whenever it is set. handle, when given, receives the open key. A stored value that is
// not a valid blob gives STATUS_REGISTRY_CORRUPT.
NTSTATUS FtRegistryQuery(const char* valueName, char** freeToPtr, char** valuePtr, ULONG* length,
                         PHANDLE handle);
NTSTATUS FtBackup(HANDLE key);

// Copies the disk part of the stored blob into buffer (when given) and sets *length to
// its size. A missing or empty value gives 64 zero bytes (no disks) and success; a
// malformed one gives STATUS_REGISTRY_CORRUPT with *length 0 and buffer untouched.
NTSTATUS DiskRegistryGet(_DISK_REGISTRY* buffer, ULONG* length);
// Records the letter on the partition (signature, offset, length) or on every member of
// its FT set, and writes the blob back. TRUE when a record was patched.
BOOLEAN DiskRegistryAssignDriveLetter(ULONG signature, LONGLONG startingOffset, LONGLONG length,
                                      uint8_t driveLetter);
// Stores "X:" as the REG_SZ value named after the CD-ROM device.
NTSTATUS DiskRegistryAssignCdRomLetter(PCWSTR cdromName, WCHAR driveLetter);
// The first character of the value named after the CD-ROM device (0 when it is empty);
// the registry's status when there is no such value.
NTSTATUS DiskRegistryGetCdRomLetter(PCWSTR cdromName, WCHAR* driveLetter);
