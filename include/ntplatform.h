// The NT native and Win32 subset that the provider calls, served by libntplatform
// over the machine (see platform/machine.h). Declarations follow the platform's
// public documentation; all functions have C linkage.
#pragma once

#include "ntdisk.h"
#include "nttypes.h"

#define NT_SUCCESS(s) (((NTSTATUS)(s)) >= 0)

// NT statuses.
#define STATUS_SUCCESS ((NTSTATUS)0x00000000)
#define STATUS_BUFFER_OVERFLOW ((NTSTATUS)0x80000005)
#define STATUS_UNSUCCESSFUL ((NTSTATUS)0xC0000001)
#define STATUS_NOT_IMPLEMENTED ((NTSTATUS)0xC0000002)
#define STATUS_INVALID_HANDLE ((NTSTATUS)0xC0000008)
#define STATUS_INVALID_PARAMETER ((NTSTATUS)0xC000000D)
#define STATUS_NO_SUCH_DEVICE ((NTSTATUS)0xC000000E)
#define STATUS_INVALID_DEVICE_REQUEST ((NTSTATUS)0xC0000010)
#define STATUS_NO_MEMORY ((NTSTATUS)0xC0000017)
#define STATUS_ACCESS_DENIED ((NTSTATUS)0xC0000022)
#define STATUS_ACCESS_VIOLATION ((NTSTATUS)0xC0000005)
#define STATUS_BUFFER_TOO_SMALL ((NTSTATUS)0xC0000023)
#define STATUS_OBJECT_TYPE_MISMATCH ((NTSTATUS)0xC0000024)
#define STATUS_OBJECT_NAME_INVALID ((NTSTATUS)0xC0000033)
#define STATUS_OBJECT_NAME_NOT_FOUND ((NTSTATUS)0xC0000034)
#define STATUS_OBJECT_NAME_COLLISION ((NTSTATUS)0xC0000035)
#define STATUS_OBJECT_PATH_NOT_FOUND ((NTSTATUS)0xC000003A)
#define STATUS_SHARING_VIOLATION ((NTSTATUS)0xC0000043)
#define STATUS_IO_DEVICE_ERROR ((NTSTATUS)0xC0000185)
#define STATUS_NO_MEDIA_IN_DEVICE ((NTSTATUS)0xC0000178)

// Access masks, share modes, options and object attributes.
#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define SYNCHRONIZE 0x00100000u
#define READ_CONTROL 0x00020000u
#define FILE_READ_DATA 0x0001u
#define SYMBOLIC_LINK_QUERY 0x0001u
#define FILE_SHARE_READ 0x1u
#define FILE_SHARE_WRITE 0x2u
#define FILE_SYNCHRONOUS_IO_ALERT 0x10u
#define FILE_SYNCHRONOUS_IO_NONALERT 0x20u
#define OBJ_CASE_INSENSITIVE 0x40u
#define KEY_QUERY_VALUE 0x0001u
#define KEY_SET_VALUE 0x0002u
#define KEY_READ 0x20019u
#define KEY_WRITE 0x20006u
#define KEY_ALL_ACCESS 0xF003Fu
#define REG_OPTION_NON_VOLATILE 0u
#define REG_CREATED_NEW_KEY 1u
#define REG_OPENED_EXISTING_KEY 2u
#define REG_NONE 0u
#define REG_SZ 1u
#define REG_EXPAND_SZ 2u
#define REG_BINARY 3u
#define REG_DWORD 4u
#define REG_MULTI_SZ 7u
#define KeyValueFullInformation 1u

// Win32 errors and wait results.
#define ERROR_SUCCESS 0L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_MORE_DATA 234L
#define INFINITE 0xFFFFFFFFu
#define WAIT_OBJECT_0 0x00000000u
#define WAIT_ABANDONED 0x00000080u
#define WAIT_TIMEOUT 0x00000102u
#define WAIT_FAILED 0xFFFFFFFFu
#define DLL_PROCESS_DETACH 0
#define DLL_PROCESS_ATTACH 1
#define HKEY_LOCAL_MACHINE ((HKEY)(uintptr_t)0x80000002u)

#ifdef __cplusplus
extern "C" {
#endif

// Counted strings.
void RtlInitUnicodeString(PUNICODE_STRING dest, PCWSTR source);
BOOLEAN RtlCreateUnicodeString(PUNICODE_STRING dest, PCWSTR source);
void RtlFreeUnicodeString(PUNICODE_STRING str);

// Files and devices.
NTSTATUS NtOpenFile(PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES attrs, PIO_STATUS_BLOCK iosb,
                    ULONG shareAccess, ULONG openOptions);
NTSTATUS NtClose(HANDLE handle);
NTSTATUS NtDeviceIoControlFile(HANDLE handle, HANDLE event, void* apcRoutine, void* apcContext,
                               PIO_STATUS_BLOCK iosb, ULONG ioControlCode, void* inputBuffer,
                               ULONG inputLength, void* outputBuffer, ULONG outputLength);
NTSTATUS NtFsControlFile(HANDLE handle, HANDLE event, void* apcRoutine, void* apcContext,
                         PIO_STATUS_BLOCK iosb, ULONG fsControlCode, void* inputBuffer, ULONG inputLength,
                         void* outputBuffer, ULONG outputLength);
NTSTATUS NtWriteFile(HANDLE handle, HANDLE event, void* apcRoutine, void* apcContext, PIO_STATUS_BLOCK iosb,
                     void* buffer, ULONG length, PLARGE_INTEGER byteOffset, ULONG* key);
NTSTATUS NtReadFile(HANDLE handle, HANDLE event, void* apcRoutine, void* apcContext, PIO_STATUS_BLOCK iosb,
                    void* buffer, ULONG length, PLARGE_INTEGER byteOffset, ULONG* key);

// Symbolic links and DOS device names.
NTSTATUS NtOpenSymbolicLinkObject(PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES attrs);
NTSTATUS NtQuerySymbolicLinkObject(HANDLE handle, PUNICODE_STRING target, ULONG* returnedLength);
DWORD QueryDosDeviceW(PCWSTR deviceName, PWSTR targetPath, DWORD maxChars);

// Registry, native.
NTSTATUS NtCreateKey(PHANDLE key, ACCESS_MASK access, POBJECT_ATTRIBUTES attrs, ULONG titleIndex,
                     PUNICODE_STRING className, ULONG createOptions, ULONG* disposition);
NTSTATUS NtOpenKey(PHANDLE key, ACCESS_MASK access, POBJECT_ATTRIBUTES attrs);
NTSTATUS NtQueryValueKey(HANDLE key, PUNICODE_STRING valueName, ULONG infoClass, void* info, ULONG length,
                         ULONG* resultLength);
NTSTATUS NtSetValueKey(HANDLE key, PUNICODE_STRING valueName, ULONG titleIndex, ULONG type, void* data,
                       ULONG dataSize);
NTSTATUS NtDeleteValueKey(HANDLE key, PUNICODE_STRING valueName);

// Registry, Win32.
LSTATUS RegOpenKeyExW(HKEY key, PCWSTR subKey, DWORD options, ACCESS_MASK access, HKEY* result);
LSTATUS RegQueryValueExW(HKEY key, PCWSTR valueName, DWORD* reserved, DWORD* type, BYTE* data,
                         DWORD* dataSize);
LSTATUS RegCreateKeyExW(HKEY key, PCWSTR subKey, DWORD reserved, PWSTR className, DWORD options,
                        ACCESS_MASK access, SECURITY_ATTRIBUTES* security, HKEY* result, DWORD* disposition);
LSTATUS RegSetValueExW(HKEY key, PCWSTR valueName, DWORD reserved, DWORD type, const BYTE* data,
                       DWORD dataSize);
LSTATUS RegCloseKey(HKEY key);

// Synchronisation and the rest of kernel32/user32.
HANDLE CreateMutexW(SECURITY_ATTRIBUTES* security, BOOL initialOwner, PCWSTR name);
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
BOOL ReleaseMutex(HANDLE mutex);
BOOL CloseHandle(HANDLE handle);
void Sleep(DWORD milliseconds);
BOOL GetVersionExW(OSVERSIONINFOW* info);
BOOL DisableThreadLibraryCalls(HMODULE module);
int lstrcmpiW(PCWSTR a, PCWSTR b);
BOOL IsBadReadPtr(const void* p, uintptr_t size);
int wsprintfW(PWSTR buffer, PCWSTR format, ...);

#ifdef __cplusplus
}

// The wide formatter for char16_t strings (%s %c %d %u %x %%, with widths); writes at
// most count units including the terminator and returns the length, or -1 when cut.
int swprintf(WCHAR* buffer, size_t count, const WCHAR* format, ...);
#endif
