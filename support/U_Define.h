// U_Define.h - definitions the host suite shares among its driver libraries:
// driver type numbers, per-type tables, family sets, and the packed records
// that cross the host interface.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

constexpr int DriverTypeCount = 47; // driver type numbers 0..46
constexpr uint8_t TMDriverType = 22;

// Per-type text tables, indexed by driver type number. Only the rows this
// library needs are filled; the others belong to the suite's other families.
extern const char *const DriverSystemDirs[DriverTypeCount];
extern const char *const DriverConfigFiles[DriverTypeCount];
extern const char *const DriverTypeNames[DriverTypeCount];

// Entry of a per-type table; an unfilled row reads as the empty text.
inline const char *TypeTableText(const char *const *table, unsigned type) {
  return type < DriverTypeCount && table[type] ? table[type] : "";
}

// Family sets over type numbers 0..47, bit n standing for type n.
struct TDriverTypeSet {
  uint64_t bits;
  constexpr bool Contains(unsigned type) const { return type < 64 && ((bits >> type) & 1u); }
};
constexpr TDriverTypeSet MakeTypeSet(std::initializer_list<unsigned> types) {
  uint64_t b = 0;
  for (unsigned t : types) b |= uint64_t(1) << t;
  return {b};
}
inline constexpr TDriverTypeSet DvrFamilyTypes =
    MakeTypeSet({2, 5, 6, 11, 14, 16, 18, 19, 23, 26, 42, 46});
inline constexpr TDriverTypeSet DvsFamilyTypes =
    MakeTypeSet({3, 7, 8, 13, 20, 21, 22, 24, 25, 27, 28, 35, 36, 37, 41, 43, 44, 45});

#pragma pack(push, 1)

// A host method pointer: code, then the object the code receives in EAX.
struct TMethod {
  void *Code;
  void *Data;
  bool Assigned() const { return Code != nullptr; }
};
static_assert(sizeof(TMethod) == 8);

// A length-prefixed string of the host: one length byte, then up to N bytes.
template <size_t N> struct TShortString {
  uint8_t Len;
  char Chars[N];
  // The text, never longer than the capacity whatever the length byte says.
  std::string Text() const { return std::string(Chars, Len <= N ? Len : N); }
  void Assign(std::string_view s) {
    const size_t n = s.size() < N ? s.size() : N;
    Len = static_cast<uint8_t>(n);
    std::memcpy(Chars, s.data(), n);
  }
};

// The server record: host format and configuration-file format.
struct TDvrInfo {
  TShortString<40> DvrIP;      // 0
  TShortString<40> DvrDomain;  // 41
  uint8_t Reserved82[2];       // 82
  int32_t Port;                // 84
  TShortString<15> UserName;   // 88
  TShortString<15> Password;   // 104
  int32_t LoginHandle;         // 120
  uint8_t Reserved124[4];      // 124
  int32_t Reserved128;         // 128, zeroed at login
  int32_t DevVideoNum;         // 132
  int32_t VideoNum;            // 136
  int32_t DevAlarmInNum;       // 140
  int32_t AlarmInNum;          // 144
  int32_t DevAlarmOutNum;      // 148
  int32_t AlarmOutNum;         // 152
  int32_t HostValues[5];       // 156..175
  int32_t DvrId;               // 176
  uint8_t Reserved180[4];      // 180
  double LoginTime;            // 184
  uint8_t OnLine;              // 192
  uint8_t Reserved193[7];      // 193
  TMethod StatusCallback;      // 200
  uint8_t Deleted;             // 208
  uint8_t Reserved209[15];     // 209
  uint8_t ById;                // 224
  uint8_t Reserved225[49];     // 225
  uint8_t HostBlock[1024];     // 274; holds OfflineTick at 1294
  uint8_t Reserved1298[6];     // 1298
};
constexpr size_t OfflineTickOffset = 1294;
static_assert(sizeof(TDvrInfo) == 1304);
static_assert(offsetof(TDvrInfo, DvrIP) == 0 && offsetof(TDvrInfo, DvrDomain) == 41);
static_assert(offsetof(TDvrInfo, Port) == 84 && offsetof(TDvrInfo, UserName) == 88);
static_assert(offsetof(TDvrInfo, Password) == 104 && offsetof(TDvrInfo, LoginHandle) == 120);
static_assert(offsetof(TDvrInfo, Reserved128) == 128);
static_assert(offsetof(TDvrInfo, DevVideoNum) == 132 && offsetof(TDvrInfo, VideoNum) == 136);
static_assert(offsetof(TDvrInfo, DevAlarmInNum) == 140 && offsetof(TDvrInfo, AlarmInNum) == 144);
static_assert(offsetof(TDvrInfo, DevAlarmOutNum) == 148 && offsetof(TDvrInfo, AlarmOutNum) == 152);
static_assert(offsetof(TDvrInfo, HostValues) == 156 && offsetof(TDvrInfo, DvrId) == 176);
static_assert(offsetof(TDvrInfo, LoginTime) == 184 && offsetof(TDvrInfo, OnLine) == 192);
static_assert(offsetof(TDvrInfo, StatusCallback) == 200 && offsetof(TDvrInfo, Deleted) == 208);
static_assert(offsetof(TDvrInfo, ById) == 224 && offsetof(TDvrInfo, HostBlock) == 274);
static_assert(offsetof(TDvrInfo, HostBlock) + (OfflineTickOffset - 274) + 4 <= 1298);

// OfflineTick lies unaligned inside the host block.
inline uint32_t GetOfflineTick(const TDvrInfo &d) {
  uint32_t v;
  std::memcpy(&v, reinterpret_cast<const uint8_t *>(&d) + OfflineTickOffset, 4);
  return v;
}
inline void SetOfflineTick(TDvrInfo &d, uint32_t v) {
  std::memcpy(reinterpret_cast<uint8_t *>(&d) + OfflineTickOffset, &v, 4);
}

constexpr size_t ChannelConfigSize = 546740;
constexpr size_t ChannelPersistOffset = 484;
constexpr size_t ChannelPersistSize = 546776; // offsets 484..547260

// The channel record, one per channel and server.
struct TDvrChannelInfo {
  int32_t DvrIndex;            // 0
  int32_t ChannelNo;           // 4
  int32_t ChannelHandle;       // 8; -1 = none
  int32_t Reserved12[3];       // 12; -1 at registration
  TMethod FrameCallback;       // 24
  TMethod ChannelCallback2;    // 32
  TMethod ChannelCallback3;    // 40
  TMethod ChannelCallback4;    // 48
  TMethod ChannelCallback5;    // 56
  uint8_t Reserved64[8];       // 64
  uint8_t HeaderPending;       // 72; 1 at registration
  uint8_t ChannelOpening;      // 73; the driver is opening the channel now
  uint8_t StreamState74[6];    // 74
  int32_t MotionDefense;       // 80
  int32_t AlarmInDefense;      // 84
  int32_t AlarmOutDefense;     // 88
  int32_t VideoDefense;        // 92
  int32_t ChannelDefense;      // 96
  uint8_t *FrameBuffer;        // 100; reassembly buffer
  int32_t FrameBufferSize;     // 104
  double FrameTime;            // 108
  uint8_t StreamState116[368]; // 116
  uint8_t Persisted484[36];    // 484
  uint8_t ChannelConfig[ChannelConfigSize]; // 520
  uint8_t Reserved547260[4];   // 547260
};
static_assert(sizeof(TDvrChannelInfo) == 547264);
static_assert(offsetof(TDvrChannelInfo, ChannelHandle) == 8);
static_assert(offsetof(TDvrChannelInfo, FrameCallback) == 24);
static_assert(offsetof(TDvrChannelInfo, HeaderPending) == 72);
static_assert(offsetof(TDvrChannelInfo, MotionDefense) == 80);
static_assert(offsetof(TDvrChannelInfo, ChannelDefense) == 96);
static_assert(offsetof(TDvrChannelInfo, FrameBuffer) == 100);
static_assert(offsetof(TDvrChannelInfo, Persisted484) == ChannelPersistOffset);
static_assert(offsetof(TDvrChannelInfo, ChannelConfig) == 520);
static_assert(ChannelPersistOffset + ChannelPersistSize == 547260);

// The record handed to a channel's frame callback.
struct TDvrFrameInfo {
  int32_t Length;     // 0
  uint8_t FrameType;  // 4: 1 header, 2 key frame, 4 other video frame, 7 audio
  uint8_t DriverType; // 5
  double Time;        // 6
  uint32_t Data;      // 14
};
static_assert(sizeof(TDvrFrameInfo) == 18);
static_assert(offsetof(TDvrFrameInfo, Time) == 6 && offsetof(TDvrFrameInfo, Data) == 14);

enum : uint8_t { FrameHeader = 1, FrameKey = 2, FrameVideo = 4, FrameAudio = 7 };

// One result of a recorded-file search (element of TFindFileInfos).
struct TDvrFileInfo {
  TShortString<207> FileName; // 0
  double StartTime;           // 208
  double EndTime;             // 216
  int32_t Value;              // 224
  uint8_t Reserved228[4];     // 228
};
static_assert(sizeof(TDvrFileInfo) == 232);
static_assert(offsetof(TDvrFileInfo, StartTime) == 208 && offsetof(TDvrFileInfo, Value) == 224);

// One entry of the host's file list (element of TTimeSegments).
struct TDvrFileEntry {
  TShortString<255> FileName; // 0
  uint8_t Reserved256;        // 256
  double StartTime;           // 257
  double EndTime;             // 265
  uint8_t Kind;               // 273
  uint8_t Zero274[8];         // 274
  int32_t Value;              // 282
  uint8_t Zero286[8];         // 286
};
static_assert(sizeof(TDvrFileEntry) == 294);
static_assert(offsetof(TDvrFileEntry, StartTime) == 257 && offsetof(TDvrFileEntry, Kind) == 273);
static_assert(offsetof(TDvrFileEntry, Value) == 282);

#pragma pack(pop)

class TThreadManage;
class TPSPCrc;

// The suite's public utility object. For this library: the worker pool and
// host-name resolution; its construction also loads the application icon.
class TPublicUnit {
public:
  TPublicUnit();
  ~TPublicUnit();
  TPublicUnit(const TPublicUnit &) = delete;
  TPublicUnit &operator=(const TPublicUnit &) = delete;

  // A dotted-quad IPv4 address: 7-15 characters, digits and exactly three
  // dots, four non-empty parts of at most 255 each.
  static bool IsIPv4Text(const std::string &text);
  // The dotted address of a host name (the first one found), the text itself
  // when it already is one, or empty when it cannot be resolved.
  std::string ResolveHost(const std::string &name);

  TPSPCrc *Crc = nullptr;
  TThreadManage *ThreadManage = nullptr;
  void *AppIcon = nullptr; // the icon from c:\quillmere\ico\app.ico, when present
};

// The library-wide instance: made at load, freed at unload.
extern TPublicUnit *PublicUnit;
void CreatePublicUnit();
// teardown: 0 ordinary, 1 under the loader lock, 2 at process exit.
void FreePublicUnit(int teardown);
