// U_DeviceDriverBase.cpp - life of the driver object: construction,
// reference counting, the hidden message window, the loaded-library lists,
// posted data and destruction. The server table, defence flags and the
// auxiliary operations live in the U_DeviceDriverBase_*.cpp units.
#include "driver_base/U_DeviceDriverBase.h"
#include "support/U_DebugLog.h"
#include "support/U_Errors.h"
#include "support/U_HostTypes.h"
#include "support/U_MainThread.h"
#include "support/WinApi.h"
#include <cstdlib>
#include <cstring>

namespace {

constexpr char WindowClassName[] = "TMDvsDriverWindow";
constexpr UINT WM_POSTED_DATA = 0x5960;

std::string Trimmed(const std::string &s) {
  size_t b = 0, e = s.size();
  while (b < e && static_cast<unsigned char>(s[b]) <= ' ') ++b;
  while (e > b && static_cast<unsigned char>(s[e - 1]) <= ' ') --e;
  return s.substr(b, e - b);
}

} // namespace

TDeviceDriverBase::TDeviceDriverBase(const TInterfaceTables &tables, uint8_t driverType, void * /*slot*/,
                                     const char *hostDir) {
  UnknownIntf = {tables.Unknown, this};
  DriverIntf = {tables.Driver, this};
  // 1-2: library lists start empty; keep the host directory.
  HostDir = NHostString::Text(hostDir);
  // 3: every piece appended as it stands, so doubled separators remain.
  ConfigFile = HostDir + "\\" + TypeTableText(DriverConfigFiles, driverType);
  // 4: the directory part, up to and including the last "\" or ":".
  const size_t cut = ConfigFile.find_last_of("\\:");
  const std::string dir = cut == std::string::npos ? std::string() : ConfigFile.substr(0, cut + 1);
  if (!dir.empty() && !NWin::NFile::DirectoryExists(dir) && !NWin::NFile::ForceDirectories(dir))
    throw EInOutError("Unable to create directory " + dir, NWin::NSystem::LastError());
  // 5
  MinLoginHandle = 0;
  SdkBound = 0;
  PendingBuffer = nullptr;
  PendingBufferSize = 0;
  DriverType = driverType;
  OfflineReportDelay = 0;
  try {
    // 6: the video-recorder and video-server families get a window and their saved table.
    if (DvrFamilyTypes.Contains(driverType) || DvsFamilyTypes.Contains(driverType)) {
      NMainThread::Synchronize([this] { CreateMessageWindow(); });
      LoadDvrTable();
    }
    // 7-9
    DvrLock = new TLock;
    CaptureLock = new TLock;
    FurtherLocks[0] = new TLock;
    StatusCallback = TMethod{};
    DriverParams[0] = DriverParams[1] = DriverParams[2] = 10;
    for (int i = 1; i < 5; ++i) FurtherLocks[i] = new TLock;
    WorkStream = new std::vector<uint8_t>;
  } catch (...) {
    // The destructor does not run for a partly built object: undo what exists.
    DestroyMessageWindow();
    delete DvrLock;
    delete CaptureLock;
    for (TLock *l : FurtherLocks) delete l;
    throw;
  }
}

TDeviceDriverBase::~TDeviceDriverBase() {
  DebugLine("ZQ>>TtarnwickDvr Destroy Start");
  FreeLoadedLibraries();
  DebugLine("ZQ>>TtarnwickDvr Destroy end0");
  LoadedLibraryPaths.clear();
  LoadedLibraryHandles.clear();
  DebugLine("ZQ>>TtarnwickDvr Destroy end1");
  try {
    DestroyMessageWindow();
    DebugLine("ZQ>>TtarnwickDvr End2");
    if (PendingBuffer) {
      std::free(PendingBuffer);
      PendingBuffer = nullptr;
    }
    DebugLine("ZQ>>TtarnwickDvr Destroy1 End3");
    if (DvrCount() > 0 && !Trimmed(TypeTableText(DriverConfigFiles, DriverType)).empty())
      SaveDvrTable();
    DebugLine("ZQ>>TtarnwickDvr Destroy1 End4");
    delete DvrLock;
    DvrLock = nullptr;
    delete CaptureLock;
    CaptureLock = nullptr;
    for (TLock *&l : FurtherLocks) {
      delete l;
      l = nullptr;
    }
    delete WorkStream;
    WorkStream = nullptr;
    DebugLine("ZQ>>TtarnwickDvr Destroy1 End5");
    // The library-wide public utility object stays until the library is
    // unloaded: a second driver object still needs its pool and resolver.
  } catch (...) {
  }
}

// --- reference counting

int32_t TDeviceDriverBase::AddRef() { return ++RefCount; }

int32_t TDeviceDriverBase::Release() {
  const int32_t n = --RefCount;
  if (n == 0) {
    try {
      BeforeDestruction();
      if (DeferDestruction()) return n;
    } catch (...) {
    }
    delete this;
  }
  return n;
}

int32_t TDeviceDriverBase::QueryInterface(const GUID &iid, void **out) {
  if (std::memcmp(&iid, &IID_IDeviceDriverInterface, sizeof(GUID)) == 0) {
    *out = DriverInterface();
  } else if (std::memcmp(&iid, &IID_IInterfaceHost, sizeof(GUID)) == 0) {
    *out = UnknownInterface();
  } else {
    *out = nullptr;
    return static_cast<int32_t>(0x80004002u); // E_NOINTERFACE
  }
  AddRef();
  return 0;
}

void TDeviceDriverBase::BeforeDestruction() {}
bool TDeviceDriverBase::DeferDestruction() { return false; }

// --- loaded libraries

void TDeviceDriverBase::FreeLoadedLibraries() {
  for (size_t i = 0; i < LoadedLibraryPaths.size(); ++i) {
    // A missing entry or a text that is not a decimal number ends the loop;
    // the libraries after it stay loaded.
    if (i >= LoadedLibraryHandles.size()) return;
    const std::string &t = LoadedLibraryHandles[i];
    if (t.empty() || t.size() > 10) return;
    uint64_t v = 0;
    for (char c : t) {
      if (c < '0' || c > '9') return;
      v = v * 10 + static_cast<unsigned>(c - '0');
    }
    if (v > 0xFFFFFFFFu) return;
    NWin::NModule::Free(reinterpret_cast<HMODULE>(static_cast<uintptr_t>(v)));
  }
}

// --- hidden message window

LRESULT CALLBACK TDeviceDriverBase::MessageWindowProc(HWND w, UINT msg, WPARAM wp, LPARAM lp) {
  auto *self = reinterpret_cast<TDeviceDriverBase *>(::GetWindowLongPtrA(w, GWLP_USERDATA));
  if (!self) return ::DefWindowProcA(w, msg, wp, lp);
  TMessage m{msg, wp, lp, 0};
  try {
    self->WindowProc(m);
  } catch (...) {
    // A window procedure must not let an error into the system's dispatch.
  }
  return m.Result;
}

NWin::TWindowClass TDeviceDriverBase::MessageWindowClass(WindowClassName, &TDeviceDriverBase::MessageWindowProc);

void UnregisterMessageWindowClass() {
  // A class that this load did not register is left as it is.
  if (TDeviceDriverBase::MessageWindowClass.Registered()) TDeviceDriverBase::MessageWindowClass.Unregister();
}

void TDeviceDriverBase::CreateMessageWindow() {
  if (MessageWindow.CreateMessageOnly(MessageWindowClass))
    MessageWindow.SetUserData(reinterpret_cast<LONG_PTR>(this));
}

void TDeviceDriverBase::DestroyMessageWindow() {
  if (!MessageWindow) return;
  // From here on no message of the window reaches this object.
  MessageWindow.SetUserData(0);
  if (!MessageWindow.OnOwnerThread()) NMainThread::Synchronize([this] { MessageWindow.DestroyIfOwner(); });
  else MessageWindow.DestroyIfOwner();
  // Not destroyed (its thread is not taking calls): that thread closes it
  // whenever it next dispatches, with nothing of this object (or module) in it.
  MessageWindow.HandBack();
}

// --- posted data

bool TDeviceDriverBase::ORVA_Device_PostDvrData(const char *, int32_t, const void *data,
                                                uint32_t size) {
  if (!data || size == 0 || !MessageWindow) return false;
  if (PendingBuffer) {
    std::free(PendingBuffer);
    PendingBuffer = nullptr;
  }
  PendingBufferSize = size;
  PendingBuffer = std::malloc(size);
  if (!PendingBuffer) return false;
  std::memcpy(PendingBuffer, data, size);
  ::PostMessageA(MessageWindow.Handle(), WM_POSTED_DATA, 0, 0);
  return true;
}

// --- operations that no class of this level implements

bool TDeviceDriverBase::BindSdk() { throw EAbstractError(); }
void TDeviceDriverBase::CheckDvrLink(volatile uint8_t &, TThreadBase *, int32_t) { throw EAbstractError(); }
void TDeviceDriverBase::WindowProc(TMessage &) { throw EAbstractError(); }
int32_t TDeviceDriverBase::ORVA_Device_Init() { throw EAbstractError(); }
void TDeviceDriverBase::ORVA_Device_Reserved39() { throw EAbstractError(); }
bool TDeviceDriverBase::ORVA_Device_Reserved40(const char *, int32_t) { throw EAbstractError(); }
bool TDeviceDriverBase::ORVA_Device_SetDvrCallback(const char *, int32_t, int32_t, const TMethod[5]) {
  throw EAbstractError();
}
int32_t TDeviceDriverBase::ORVA_Device_StartDvrCapture(const char *, int32_t, int32_t) {
  throw EAbstractError();
}
int32_t TDeviceDriverBase::ORVA_Device_StopDvrCapture(const char *, int32_t, int32_t) {
  throw EAbstractError();
}
bool TDeviceDriverBase::ORVA_Device_CloseDvr(const char *, int32_t, bool) { throw EAbstractError(); }
bool TDeviceDriverBase::ORVA_Device_CloseDvrChannel(const char *, int32_t, int32_t, bool) {
  throw EAbstractError();
}
bool TDeviceDriverBase::ORVA_Device_Shutdown() { throw EAbstractError(); }
void TDeviceDriverBase::SearchDvrFiles(const uint32_t[8], void **) { throw EAbstractError(); }
void TDeviceDriverBase::Unsupported(int) { throw EAbstractError(); }

// --- PTZ protocol library: one binding for the whole library. The handle
// keeps its value after a driver object releases the library, so a later
// object does not load it again.

namespace NPtz {
HMODULE Module = nullptr;
FARPROC GetPtzProtocolCount = nullptr, GetPtzInfoFromIndex = nullptr, TransformToCommand = nullptr;
} // namespace NPtz

bool LoadPtzLibrary(const std::string &path) {
  if (NPtz::Module) return true;
  if (!NWin::NFile::FileExists(path)) return false;
  NPtz::Module = NWin::NModule::Load(path.c_str());
  if (!NPtz::Module) return false;
  NPtz::GetPtzProtocolCount = NWin::NModule::Proc(NPtz::Module, "GetPtzProtocolCount");
  NPtz::GetPtzInfoFromIndex = NWin::NModule::Proc(NPtz::Module, "GetPtzInfoFromIndex");
  NPtz::TransformToCommand = NWin::NModule::Proc(NPtz::Module, "TransformToCommand");
  return true;
}
