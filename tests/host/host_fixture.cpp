#include "host_fixture.h"

namespace hosttest {

Recorder& Rec() {
  static Recorder r;
  return r;
}

namespace {

ZMSTATUS RecControl(ZM_OBJECT_ID, uint32_t cls, uint32_t code, ZM_PROPSET, ZM_PROPSET, uint32_t arg6,
                    uint32_t arg7, void* arg8, ZM_PROGRESS_CALLBACK, ZM_OBJECT_ID* resultId) {
  std::lock_guard<std::mutex> g(Rec().mu);
  Rec().calls.push_back("Control " + std::to_string(cls) + "/" + std::to_string(code) + " " +
                        std::to_string(arg6) + " " + std::to_string(arg7) + (arg8 != nullptr ? " p" : " 0"));
  if (resultId != nullptr) *resultId = 77;
  return code == 99 ? ZM_E_FAIL : ZM_S_OK;
}

ZMSTATUS RecInit(ZM_HANDLE db, ZM_HANDLE prov, uint32_t, uint32_t) {
  Rec().db = db;
  Rec().prov = prov;
  for (const GUID& g : Rec().registerOnInit) {
    uint32_t token = 0;
    EvRegisterEvent(prov, &g, &token);
  }
  std::lock_guard<std::mutex> g(Rec().mu);
  Rec().calls.push_back("Init");
  return Rec().initResult;
}

ZMSTATUS RecShutdown(uint32_t) {
  std::lock_guard<std::mutex> g(Rec().mu);
  Rec().calls.push_back("Shutdown");
  return 0;
}

ZMSTATUS RecNotify(_Zm_Notification_Header* h) {
  if (Rec().onNotify) Rec().onNotify(h);
  std::lock_guard<std::mutex> g(Rec().mu);
  Rec().notices.push_back({h->EventGuid, h->Object, h->ObjectType, h->Sequence, std::this_thread::get_id()});
  return 0;
}

}  // namespace

ZMSTATUS RecorderEntry(const WCHAR*, uint32_t, ZM_PROVIDER_INFO* info) {
  *info = {&RecControl, &RecInit, &RecShutdown, nullptr, &RecNotify, nullptr};
  return 0;
}

ZMSTATUS SetU32(ZM_HANDLE db, ZM_OBJECT_ID id, const char* name, uint32_t v) {
  ZM_PROPERTY r{name, ZM_TYPE_UINT32, 0, 4, &v};
  return ObSetProperty(db, id, &r);
}

}  // namespace hosttest
