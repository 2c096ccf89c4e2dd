#!/bin/sh
# The simulated SDK exports, undecorated, every name the driver looks up and
# every control of the simulator; PTZ.dll its three names.
set -eu
sdk="$1"; ptz="$2"
objdump="${OBJDUMP:-i686-w64-mingw32-objdump}"
names() { "$objdump" -p "$1" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | sed -n 's/^[[:space:]]*\[ *[0-9]*\] //p'; }
have=$(names "$sdk")
missing=0
for n in NVNET_LogonServer NVNET_LogoffServer NVNET_GetServerInfo NVNET_SetStreamFunc NVNET_SetMessage \
         NVNET_SetCallback NVNET_PTZControl NVNET_SendCmdToServer NVNET_GetServerConfig NVNET_OpenChannel \
         NVNET_CloseChannel NVNET_GetAVInfo NVNET_GetRecvCount NVNET_SetVideoCallback NVNET_SetDisplayhWnd \
         NVNET_Mute SIM_Reset SIM_AddServer SIM_SetBehaviour SIM_SetLogonDelay SIM_SetStream \
         SIM_FailCloseChannel SIM_InjectMessage SIM_InjectPacket SIM_GetCounters SIM_ReadCallLog SIM_GetTotals SIM_SetLeak; do
  echo "$have" | grep -qx "$n" || { echo "NVSDK.dll lacks $n"; missing=1; }
done
have=$(names "$ptz")
for n in GetPtzProtocolCount GetPtzInfoFromIndex TransformToCommand; do
  echo "$have" | grep -qx "$n" || { echo "PTZ.dll lacks $n"; missing=1; }
done
[ "$missing" = 0 ] && echo "all exports present, undecorated"
exit "$missing"
