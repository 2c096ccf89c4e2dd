// U_DeviceDriverBase.h - TDeviceDriverBase, the device-independent driver
// object: server and channel tables, configuration file, host callbacks and
// settings, hidden message window, defence flags, and the operations that
// need no device. The concrete driver (TTMDvs) overrides what its device needs.
#pragma once
#include "driver_base/U_DriverInterface.h"
#include "support/HiddenWindow.h"
#include "support/U_Define.h"
#include "support/U_Lock.h"
#include <windows.h>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

class TThreadBase;
class TDeviceDriverBase;

// An interface pointer of the object: the address of one of these. The host
// sees only Table; Owner leads the entries back to the object.
struct TInterfaceSlot {
  const void *const *Table;
  TDeviceDriverBase *Owner;
};

// The message record of the hidden window.
struct TMessage {
  UINT Msg;
  WPARAM WParam;
  LPARAM LParam;
  LRESULT Result;
};

// One server's channel records: one zero-filled block, allocated at once.
// Shared, so that a thread still using an array that registration replaced
// keeps it alive until it is done.
struct TChannelArray {
  TChannelArray(int32_t dvrIndex, int32_t count);
  ~TChannelArray();
  TChannelArray(const TChannelArray &) = delete;
  TChannelArray &operator=(const TChannelArray &) = delete;
  TDvrChannelInfo &operator[](int32_t c) { return Records[c]; }
  bool Has(int32_t c) const { return c >= 0 && c < Count; }

  TDvrChannelInfo *Records = nullptr;
  int32_t Count = 0;
};
using TChannelArrayRef = std::shared_ptr<TChannelArray>;

// The saved channel records of one server: the persisted part of each, in
// one block, as the configuration file holds them.
struct TSavedChannels {
  std::unique_ptr<uint8_t[]> Block; // Count x ChannelPersistSize bytes
  int32_t Count = 0;
  bool empty() const { return Count == 0; }
  size_t size() const { return static_cast<size_t>(Count); }
  const uint8_t *Persisted(int32_t c) const { return Block.get() + static_cast<size_t>(c) * ChannelPersistSize; }
};

class TDeviceDriverBase {
public:
  // The interface pointers are made over `tables`, which must outlive the object.
  TDeviceDriverBase(const TInterfaceTables &tables, uint8_t driverType, void *slot, const char *hostDir);
  virtual ~TDeviceDriverBase();
  TDeviceDriverBase(const TDeviceDriverBase &) = delete;
  TDeviceDriverBase &operator=(const TDeviceDriverBase &) = delete;

  // --- reference counting (the run-time's reference-counted object base)
  int32_t AddRef();
  int32_t Release();
  int32_t QueryInterface(const GUID &iid, void **out);
  void *DriverInterface() { return &DriverIntf; }
  void *UnknownInterface() { return &UnknownIntf; }
  // Runs when the last reference goes, before the destructors.
  virtual void BeforeDestruction();
  // True when the object cannot go yet (a thread of its own that asked for
  // the destruction is still inside it); that thread destroys it on its way out.
  virtual bool DeferDestruction();

  // --- virtual operations of the class, in slot order
  virtual bool BindSdk();
  virtual void FreeLoadedLibraries();
  virtual void CheckDvrLink(volatile uint8_t &terminated, TThreadBase *thread, int32_t param);
  virtual void WindowProc(TMessage &message);
  virtual void CreateMessageWindow();
  virtual void DestroyMessageWindow();

  // --- host operations reached through the virtual table
  virtual int32_t ORVA_Device_Init();
  virtual int32_t ORVA_Device_SetCallback(int32_t index, TMethod callback);
  virtual int32_t ORVA_Device_ClearCallback(int32_t index);
  virtual bool ORVA_Device_AddDvr(const TDvrInfo *info);
  virtual bool ORVA_Device_DelDvr(const char *address, int32_t port);
  virtual void ORVA_Device_Reserved39();
  virtual bool ORVA_Device_Reserved40(const char *address, int32_t port);
  virtual bool ORVA_Device_SetDvrCallback(const char *address, int32_t port, int32_t channel,
                                          const TMethod callbacks[5]);
  virtual int32_t ORVA_Device_StartDvrCapture(const char *address, int32_t port, int32_t channel);
  virtual int32_t ORVA_Device_StopDvrCapture(const char *address, int32_t port, int32_t channel);
  // Positions 75..82, 132, 133: one operation per flag and value.
  enum TDefenseFlag { dfMotion, dfAlarmIn, dfAlarmOut, dfVideo, dfChannel };
  virtual bool SetDefense(int position, TDefenseFlag flag, int32_t value, const char *address,
                          int32_t port, int32_t channel);
  virtual int32_t ORVA_Device_SetAuxCallback2(int32_t value, TMethod callback);
  virtual int32_t ORVA_Device_SetAuxCallback3(int32_t value, TMethod callback);
  // The recorded-file search behind position 84 (not supported here).
  virtual void SearchDvrFiles(const uint32_t args[8], void **findFileInfos);
  virtual int32_t ORVA_Device_ListDvrFiles(const uint32_t args[8], void **list);
  virtual int32_t ORVA_Device_ListDvrFilesToBuffer(const uint32_t args[8], void **buffer,
                                                   int32_t *bufferSize);
  virtual void ORVA_Device_GetAuxValue(int32_t *value);
  virtual int32_t ORVA_Device_SetHostFunctions(int32_t value, TMethod function1, TMethod function2);
  virtual int32_t ORVA_Device_CallHostFunction1(int32_t a, int32_t b, int32_t c);
  virtual int32_t ORVA_Device_CallHostFunction2();
  virtual bool ORVA_Device_FreeBuffer(void *buffer, uint32_t bufferSize, bool freeBlock);
  virtual bool ORVA_Device_SetDvrChannelConfig(const char *address, int32_t port, int32_t channel,
                                               const void *config);
  virtual bool ORVA_Device_GetDvrChannelConfig(const char *address, int32_t port, int32_t channel,
                                               void *config);
  virtual bool ORVA_Device_IsDvrOnLine(const char *address, int32_t port);
  virtual bool ORVA_Device_CloseDvr(const char *address, int32_t port, bool logOut);
  virtual bool ORVA_Device_CloseDvrChannel(const char *address, int32_t port, int32_t channel,
                                           bool checkDvr);
  virtual bool ORVA_Device_Shutdown();
  // Positions 114..120 and 128.
  enum TStateKind { skEmpty, skMotion, skAlarmIn, skAlarmOut, skVideo };
  virtual void GetDefenseState(int position, TStateKind kind, const char *address, int32_t port,
                               char **state);
  virtual bool ORVA_Device_RemoveDvr(const char *address, int32_t port);
  // The reserved positions that answer 0.
  virtual int32_t ORVA_Device_Reserved(int position);
  // Slots no interface position reaches.
  virtual int32_t SetExtraCallback(int32_t index, TMethod callback);
  virtual int32_t ClearExtraCallback(int32_t index);
  // Every position that no class implements.
  virtual void Unsupported(int position);
  // Closes server `index` (its channels; with logOut also its login). The
  // base passes the record's address and port on to ORVA_Device_CloseDvr.
  virtual void CloseServer(int32_t index, bool logOut);
  // Called before a registration reuses the deleted record `index`.
  virtual void EndServer(int32_t index);

  // --- host operations with fixed (non-virtual) implementations
  int32_t ORVA_Device_SetAuxCallback1(TMethod callback);
  bool ORVA_Device_PostDvrData(const char *address, int32_t port, const void *data, uint32_t size);
  bool ORVA_Device_LoadDvrTable();
  bool ORVA_Device_SaveDvrTable();
  bool ORVA_Device_GetDvrInfo(const char *address, int32_t port, TDvrInfo *info);
  bool ORVA_Device_SetDriverParams(const int32_t *params);
  bool ORVA_Device_GetDvrLoginInfo(const char *address, int32_t port, TDvrInfo *info);
  bool ORVA_Device_SetByteOption(uint8_t index, uint8_t value);
  uint8_t ORVA_Device_GetByteOption(uint8_t index);
  bool ORVA_Device_SetHostParams(uint64_t params);
  int32_t ORVA_Device_SetOfflineReportDelay(const int32_t *delay);
  void ORVA_Device_SetHostValue(int32_t value);

  // --- server table, shared with the concrete driver
  // The first record matching the key decides (see the table's rules).
  int32_t FindDvr(std::string_view address, int32_t port, bool requireOnLine,
                  bool requireNotDeleted);
  int32_t FindDvrByLoginHandle(int32_t handle);
  bool LoadDvrTable();
  bool SaveDvrTable();
  int32_t DvrCount();
  // A server record. Records are never removed while the object lives and
  // never move, so the pointer stays valid.
  TDvrInfo *DvrRecord(int32_t index);
  // The server's current channel array (nil for an index out of range).
  TChannelArrayRef Channels(int32_t index);

  // --- fields
  TMethod CallbackSlots[1001] = {};       // 1..1000
  TMethod ExtraCallbackSlots[1501] = {};  // 1..1500
  std::string HostDir;
  // The libraries this object loaded belong to the two lists: FreeLoadedLibraries
  // frees each handle written in LoadedLibraryHandles, and only those. So
  // SdkModule (and NPtz::Module) are not owners and free nothing; an owner
  // beside the lists would free a module twice, and the lists' rules (a text
  // that is not a number ends the freeing) would no longer decide.
  HMODULE SdkModule = nullptr;
  std::vector<std::string> LoadedLibraryPaths;
  std::vector<std::string> LoadedLibraryHandles;
  TMethod AuxCallback1{}, AuxCallback2{}, AuxCallback3{};
  TMethod HostFunction1{}, HostFunction2{};
  void *PendingBuffer = nullptr;
  uint32_t PendingBufferSize = 0;
  NWin::THiddenWindow MessageWindow;
  uint8_t SdkBound = 0;
  std::atomic<uint8_t> StopLinkCheck{0};
  std::atomic<uint8_t> LinkCheckStopped{0};
  int32_t MinLoginHandle = 0;
  std::string ConfigFile;
  uint8_t DriverType = 0;
  int32_t DriverParams[3] = {};
  TLock *DvrLock = nullptr;
  TLock *CaptureLock = nullptr;
  TLock *FurtherLocks[5] = {};
  TMethod StatusCallback{};
  std::vector<uint8_t> *WorkStream = nullptr;
  uint8_t ByteOptions[4] = {};
  uint64_t HostParams = 0;
  int32_t OfflineReportDelay = 0;
  int32_t HostValue = 0;

  std::vector<std::unique_ptr<TDvrInfo>> DvrList;
  std::vector<TChannelArrayRef> ChannelTable;
  std::vector<TDvrInfo> SavedDvrList;
  std::vector<TSavedChannels> SavedChannelTable;
  // Guards the shape of the tables (growth, replacement of channel arrays)
  // against the threads that walk them: host threads, the link-supervision
  // worker and the SDK's callback threads. Record contents are plain fields.
  TSharedLock TableLock;

  // The hidden windows' class: registered with the first window (on the main
  // thread, as every window of the driver), withdrawn when the library is
  // unloaded (UnregisterMessageWindowClass).
  static NWin::TWindowClass MessageWindowClass;

protected:
  // The hidden window's procedure hands messages to WindowProc of the object
  // whose address is in the window's user data (cleared before destruction).
  static LRESULT CALLBACK MessageWindowProc(HWND w, UINT msg, WPARAM wp, LPARAM lp);

private:
  std::atomic<int32_t> RefCount{1}; // the construction reference
  TInterfaceSlot UnknownIntf;
  TInterfaceSlot DriverIntf;
};

// Withdraws the hidden windows' class (library unload, on the main thread,
// once no driver window is left).
void UnregisterMessageWindowClass();

// The PTZ protocol library, shared by every driver object of the library.
// Loaded once; the driver object that loaded it owns it through its
// LoadedLibraryHandles, and Module keeps its value after that object freed it.
namespace NPtz {
extern HMODULE Module;
extern FARPROC GetPtzProtocolCount, GetPtzInfoFromIndex, TransformToCommand;
} // namespace NPtz
bool LoadPtzLibrary(const std::string &path);
