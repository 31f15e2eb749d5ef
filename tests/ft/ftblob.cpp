#include "ftblob.h"

#include "registry_store.h"

namespace ftblob {

static const std::u16string kKey = u"\\REGISTRY\\MACHINE\\SYSTEM\\DISK";

std::vector<uint8_t> Stored() {
  uint32_t type = 0;
  std::vector<uint8_t> data;
  if (!ntp::reg::GetValue(kKey, u"Information", &type, &data)) return {};
  return data;
}

void Store(const std::vector<uint8_t>& blob) { ntp::reg::SetValue(kKey, u"Information", 3, blob); }

void Erase() { ntp::reg::DeleteValue(kKey, u"Information"); }

}  // namespace ftblob
