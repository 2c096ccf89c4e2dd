// U_InterfacePositions.h - the supported positions of IDeviceDriverInterface,
// listed once. Every other position (3..155) raises the abstract-method error.
//
// X(position, operation, implemented by, stack bytes the entry removes)
//
// The entries, the table of 156 positions, SupportedPositions(), the tests'
// walk over all positions and the README's table (tools/interface-table) are
// all made from this list; the compiler checks every entry's signature
// against its stack bytes. Implemented by: Ref (the reference-counted object,
// stdcall), Base (a virtual operation of the driver base), Fixed (a
// non-virtual operation of the driver base), Tm (the TM driver).
// Operation names are the host's without "ORVA_Device_" (positions 0-2 keep
// theirs). No includes: tools/interface-table runs it through the bare
// preprocessor.
#pragma once

#define TM_INTERFACE_POSITIONS(X)                \
  X(0, QueryInterface, Ref, 12)                  \
  X(1, AddRef, Ref, 4)                           \
  X(2, Release, Ref, 4)                          \
  X(3, Init, Tm, 0)                              \
  X(4, SetCallback, Base, 8)                     \
  X(5, ClearCallback, Base, 0)                   \
  X(14, SetAuxCallback1, Fixed, 8)               \
  X(37, AddDvr, Base, 0)                         \
  X(38, DelDvr, Base, 0)                         \
  X(39, Reserved39, Tm, 0)                       \
  X(40, Reserved40, Tm, 0)                       \
  X(41, SetDvrCallback, Tm, 44)                  \
  X(58, StartDvrCapture, Tm, 4)                  \
  X(59, StopDvrCapture, Tm, 4)                   \
  X(75, StartDvrMotion, Base, 4)                 \
  X(76, StopDvrMotion, Base, 4)                  \
  X(77, StartDvrAlarmInDefense, Base, 4)         \
  X(78, StopDvrAlarmInDefense, Base, 4)          \
  X(79, StartDvrAlarmOutDefense, Base, 4)        \
  X(80, StopDvrAlarmOutDefense, Base, 4)         \
  X(81, StartDvrVideoDefense, Base, 4)           \
  X(82, StopDvrVideoDefense, Base, 4)            \
  X(83, SetAuxCallback2, Base, 8)                \
  X(85, ListDvrFiles, Base, 28)                  \
  X(86, ListDvrFilesToBuffer, Base, 32)          \
  X(89, GetAuxValue, Base, 8)                    \
  X(90, PostDvrData, Fixed, 8)                   \
  X(92, SetHostFunctions, Base, 16)              \
  X(93, CallHostFunction1, Base, 4)              \
  X(94, CallHostFunction2, Base, 0)              \
  X(95, FreeBuffer, Base, 4)                     \
  X(101, LoadDvrTable, Fixed, 0)                 \
  X(102, SaveDvrTable, Fixed, 0)                 \
  X(105, SetDvrChannelConfig, Base, 8)           \
  X(106, GetDvrChannelConfig, Base, 8)           \
  X(107, IsDvrOnLine, Base, 0)                   \
  X(108, CloseDvr, Tm, 4)                        \
  X(109, CloseDvrChannel, Tm, 8)                 \
  X(110, Shutdown, Tm, 0)                        \
  X(111, GetDvrInfo, Fixed, 4)                   \
  X(112, SetDriverParams, Fixed, 0)              \
  X(114, GetDvrDefenseStateA, Base, 4)           \
  X(115, GetDvrDefenseStateB, Base, 4)           \
  X(116, GetDvrDefenseStateC, Base, 4)           \
  X(117, GetDvrDefenseStateD, Base, 4)           \
  X(118, GetDvrNetMotionDefenseState, Base, 4)   \
  X(119, GetDvrAlarmInDefenseState, Base, 4)     \
  X(120, GetDvrAlarmOutDefenseState, Base, 4)    \
  X(121, GetDvrLoginInfo, Fixed, 4)              \
  X(124, RemoveDvr, Base, 0)                     \
  X(128, GetDvrVideoDefenseState, Base, 4)       \
  X(129, Reserved129, Base, 8)                   \
  X(130, Reserved130, Base, 4)                   \
  X(131, Reserved131, Base, 0)                   \
  X(132, StartDvrChannelDefense, Base, 4)        \
  X(133, StopDvrChannelDefense, Base, 4)         \
  X(134, Reserved134, Base, 8)                   \
  X(135, Reserved135, Base, 4)                   \
  X(136, Reserved136, Base, 12)                  \
  X(137, SetAuxCallback3, Base, 8)               \
  X(138, Reserved138, Base, 12)                  \
  X(143, SetByteOption, Fixed, 0)                \
  X(144, GetByteOption, Fixed, 0)                \
  X(146, SetHostParams, Fixed, 8)                \
  X(147, Reserved147, Base, 4)                   \
  X(148, Reserved148, Base, 4)                   \
  X(149, Reserved149, Base, 4)                   \
  X(150, SetOfflineReportDelay, Fixed, 0)        \
  X(151, Reserved151, Base, 12)                  \
  X(152, Reserved152, Base, 16)                  \
  X(153, Reserved153, Base, 36)                  \
  X(154, Reserved154, Base, 8)                   \
  X(155, SetHostValue, Fixed, 0)
