#include "guid_watch.h"

#include <algorithm>
#include <vector>

#include "plan_store.h"
#include "standin_store.h"

namespace {

constexpr const char* KERNEL32 = "kernel32.dll";
constexpr const char* LOCAL_FREE = "LocalFree";

SRWLOCK watch_lock = SRWLOCK_INIT;
bool watching = false;
// Handed out and not freed yet; freed (until the heap hands the same address
// out again as a new GUID). A second LocalFree of a freed one is the fault.
std::vector<void*> live;
std::vector<void*> freed;

bool take(std::vector<void*>& from, void* memory) {
  const auto found = std::find(from.begin(), from.end(), memory);
  if (found == from.end()) return false;
  from.erase(found);
  return true;
}

// Takes the place of LocalFree in the executable's imports. A second free of
// a GUID is counted and not passed on: on Windows it would corrupt the heap
// at some later, unrelated call.
HLOCAL WINAPI watched_local_free(HLOCAL memory) {
  AcquireSRWLockExclusive(&watch_lock);
  if (take(live, memory)) {
    freed.push_back(memory);
    add_to_counter(plan_store::ROOT_KEY, plan_store::GUIDS_NOT_FREED, -1);
  } else if (std::find(freed.begin(), freed.end(), memory) != freed.end()) {
    add_to_counter(plan_store::ROOT_KEY, plan_store::GUIDS_FREED_TWICE, 1);
    ReleaseSRWLockExclusive(&watch_lock);
    return nullptr;
  }
  ReleaseSRWLockExclusive(&watch_lock);
  return LocalFree(memory);
}

// Only the executable's own LocalFree calls are watched: they are the ones
// the GUIDs reach. Its import slot is patched; its code stays as built.
void watch_local_free() {
  auto* const base = reinterpret_cast<BYTE*>(GetModuleHandleW(nullptr));
  const auto* const dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  const auto* const nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY& imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  if (imports.VirtualAddress == 0) return;
  for (auto* dll = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress); dll->Name != 0;
       ++dll) {
    if (lstrcmpiA(reinterpret_cast<const char*>(base + dll->Name), KERNEL32) != 0 || dll->OriginalFirstThunk == 0)
      continue;
    auto* name = reinterpret_cast<const IMAGE_THUNK_DATA*>(base + dll->OriginalFirstThunk);
    auto* slot = reinterpret_cast<IMAGE_THUNK_DATA*>(base + dll->FirstThunk);
    for (; name->u1.AddressOfData != 0; ++name, ++slot) {
      if (IMAGE_SNAP_BY_ORDINAL(name->u1.Ordinal)) continue;
      const auto* by_name = reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + name->u1.AddressOfData);
      if (lstrcmpA(reinterpret_cast<const char*>(by_name->Name), LOCAL_FREE) != 0) continue;
      DWORD protection = 0;
      if (!VirtualProtect(&slot->u1.Function, sizeof slot->u1.Function, PAGE_READWRITE, &protection)) return;
      slot->u1.Function = reinterpret_cast<ULONG_PTR>(&watched_local_free);
      VirtualProtect(&slot->u1.Function, sizeof slot->u1.Function, protection, &protection);
      return;
    }
  }
}

}  // namespace

GUID* hand_out_guid(const GUID& guid) {
  auto* const copy = static_cast<GUID*>(LocalAlloc(LMEM_FIXED, sizeof(GUID)));
  if (copy == nullptr) return nullptr;
  *copy = guid;
  AcquireSRWLockExclusive(&watch_lock);
  // Installed at the first GUID rather than at load time: by now the loader
  // has long filled the executable's import slots.
  if (!watching) {
    watch_local_free();
    watching = true;
  }
  take(freed, copy);
  live.push_back(copy);
  add_to_counter(plan_store::ROOT_KEY, plan_store::GUIDS_HANDED_OUT, 1);
  add_to_counter(plan_store::ROOT_KEY, plan_store::GUIDS_NOT_FREED, 1);
  ReleaseSRWLockExclusive(&watch_lock);
  return copy;
}
