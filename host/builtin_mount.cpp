// The built-in provider "mount": drive letters of volumes, kept as \DosDevices links to
// the volume's "\Device\" path and published as the volume's "DRIVE_LETTER" ("E:";
// an empty string once the letter is removed).
#include <cstring>
#include <unordered_map>

#include "internal.h"
#include "machine.h"

namespace zmi {
namespace {

std::u16string LetterText(char letter) { return std::u16string{static_cast<char16_t>(letter), u':'}; }

// Letters whose link points at the device, lowest first.
std::vector<char> LettersOf(const std::u16string& device) {
  std::vector<char> v;
  for (char l = 'C'; l <= 'Z'; ++l)
    if (ntp::DriveLetterTarget(l) == device) v.push_back(l);
  return v;
}

// The volume's "\Device\" path; the status of the failed read otherwise.
ZMSTATUS DeviceOf(ZM_OBJECT_ID volume, std::u16string* device) {
  Value v;
  ZMSTATUS s = HostGet(volume, "\\Device\\", &v);
  if (s != ZM_S_OK) return s;
  if (!HostGetString(volume, "\\Device\\", device) || device->empty()) return E_INVALIDARG_ZM;
  return ZM_S_OK;
}

// The requested letter: "E:" or "E", C to Z in either case.
ZMSTATUS RequestedLetter(ZM_PROPSET in, char* letter) {
  std::vector<Value> values;
  if (!PropSetValues(in, &values)) return ZM_E_INVALID_HANDLE;
  for (const Value& v : values) {
    if (std::strcmp(v.name.text, "DRIVE_LETTER") != 0) continue;
    if (v.type != ZM_TYPE_STRING) return E_INVALIDARG_ZM;
    std::u16string s(v.data.size() / 2, u'\0');
    for (size_t i = 0; i < s.size(); ++i)
      s[i] = static_cast<char16_t>(v.data[2 * i] | (v.data[2 * i + 1] << 8));
    while (!s.empty() && s.back() == u'\0') s.pop_back();
    if (s.empty() || s.size() > 2 || (s.size() == 2 && s[1] != u':')) return ZM_E_BAD_LETTER;
    char16_t c = s[0];
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - 32);
    if (c < u'C' || c > u'Z') return ZM_E_BAD_LETTER;
    *letter = static_cast<char>(c);
    return ZM_S_OK;
  }
  return ZM_E_NO_PROPERTY;
}

ZMSTATUS Assign(ZM_OBJECT_ID volume, ZM_PROPSET in) {
  std::u16string device;
  ZMSTATUS s = DeviceOf(volume, &device);
  if (s != ZM_S_OK) return s;
  char letter = 0;
  s = RequestedLetter(in, &letter);
  if (s != ZM_S_OK) return s;
  std::u16string target = ntp::DriveLetterTarget(letter);
  if (!target.empty() && target != device) return ZM_E_LETTER_IN_USE;
  if (target.empty()) {
    // The new link first, then the old letters go: a failure leaves the volume as it was.
    std::vector<char> old = LettersOf(device);
    if (ntp::DefineDriveLetter(letter, device) < 0) return ZM_E_FAIL;
    for (char l : old) ntp::RemoveDriveLetter(l);
  }
  return HostSet(volume, StringValue("DRIVE_LETTER", LetterText(letter)));
}

ZMSTATUS Remove(ZM_OBJECT_ID volume) {
  std::u16string device;
  ZMSTATUS s = DeviceOf(volume, &device);
  if (s != ZM_S_OK) return s;
  for (char l : LettersOf(device))
    if (ntp::RemoveDriveLetter(l) < 0) return ZM_E_FAIL;
  // The property stays, empty, so that whoever records the change can still read it.
  return HostSet(volume, StringValue("DRIVE_LETTER", u""));
}

}  // namespace

void RefreshDriveLetters() {
  if (!ntp::IsBooted()) return;
  // The letter of each link target; a device with several letters shows the lowest.
  std::unordered_map<std::u16string, char> letters;
  for (char l = 'Z'; l >= 'C'; --l) {
    std::u16string t = ntp::DriveLetterTarget(l);
    if (!t.empty()) letters[std::move(t)] = l;
  }
  std::u16string device, current;
  for (ZM_OBJECT_ID v : HostObjects(ZM_OBJ_VOLUME)) {
    if (!HostGetString(v, "\\Device\\", &device) || device.empty()) continue;
    auto it = letters.find(device);
    if (it != letters.end()) {
      std::u16string text = LetterText(it->second);
      if (!HostStringIs(v, "DRIVE_LETTER", text)) HostSet(v, StringValue("DRIVE_LETTER", text));
    } else if (HostGetString(v, "DRIVE_LETTER", &current) && !current.empty()) {
      HostSet(v, StringValue("DRIVE_LETTER", u""));
    }
  }
}

// Codes 1 and 2 refresh every volume's letter; 10003 assigns the letter of the input
// set's "DRIVE_LETTER" to the volume, 10004 removes the volume's letter. The class is
// not examined: callers send 10001 for letters and various classes for refreshes.
ZMSTATUS MountControl(ZM_OBJECT_ID objectId, uint32_t /*cls*/, uint32_t code, ZM_PROPSET in,
                      ZM_PROPSET /*out*/, uint32_t, uint32_t, void*, ZM_PROGRESS_CALLBACK, ZM_OBJECT_ID*) {
  if (!ntp::IsBooted()) return code == OP_REFRESH || code == 2 ? ZM_S_OK : ZM_E_FAIL;
  switch (code) {
    case OP_REFRESH:
    case 2:
      RefreshDriveLetters();
      return ZM_S_OK;
    case OP_ASSIGN_DRIVE_LETTER:
      return Assign(objectId, in);
    case OP_REMOVE_DRIVE_LETTER:
      return Remove(objectId);
    default:
      return E_INVALIDARG_ZM;
  }
}

}  // namespace zmi
