// The module interface as a camera module presents it: the simulator's own declarations.
//
// They are kept apart from the camera layer's on purpose: a module and its caller are built
// by different people from the same published interface, and a test compares the two copies,
// so a wrong number in either is caught instead of being shared by both sides.
#pragma once

#include <cstddef>
#include <cstdint>

namespace lbsim {
namespace sdk {

using ULONG = std::uint32_t;  // 32-bit on every platform a module exists for
using NKERROR = std::int32_t;
using NKPARAM = std::uintptr_t;  // a pointer-sized value or pointer
using NKREF = void*;

// The caller's record of one open object; the module fills type and id.
struct MaidObject {
  ULONG ulType;
  ULONG ulID;
  NKREF refClient;
  NKREF refModule;
};

struct MaidCapInfo {
  ULONG ulID;
  ULONG ulType;
  ULONG ulVisibility;
  ULONG ulOperations;
  char szDescription[256];
};

#pragma pack(push, 2)
// Enumeration descriptor; the 2-byte packing puts the data pointer right after the element
// size, at offset 18.
struct MaidEnum {
  ULONG ulType;
  ULONG ulElements;
  ULONG ulValue;
  ULONG ulDefault;
  std::uint16_t wPhysicalBytes;
  void* pData;
};
#pragma pack(pop)

// Array descriptor (live-view frames).
struct MaidArray {
  ULONG ulType;
  ULONG ulElements;
  ULONG ulDimSize1;
  ULONG ulDimSize2;
  ULONG ulDimSize3;
  std::uint16_t wPhysicalBytes;
  std::uint16_t wLogicalBits;
  void* pData;
};

// Range record: the current value first; the caller writes only that field back.
struct MaidRange {
  double lfValue;
  double lfDefault;
  ULONG ulValueIndex;
  ULONG ulDefaultIndex;
  double lfLower;
  double lfUpper;
  ULONG ulSteps;
};

// Header of one data block handed to the data procedure.
struct MaidDataInfo {
  ULONG ulType;  // flags
  ULONG ulFileDataType;
  ULONG ulTotalLength;
  ULONG ulStart;
  ULONG ulLength;
};

struct MaidCallback {
  void* pProc;
  NKREF refProc;
};

using EventProc = void (*)(NKREF ref, ULONG event, NKPARAM data);
using DataProc = NKERROR (*)(NKREF ref, void* dataInfo, void* data);
using CompletionProc = void (*)(MaidObject* object, ULONG command, ULONG param, ULONG dataType,
                                NKPARAM data, NKREF completionRef, NKERROR result);

static_assert(sizeof(MaidObject) == 24, "an object record is 24 bytes");
static_assert(sizeof(MaidCapInfo) == 272, "a capability record is 272 bytes");
static_assert(offsetof(MaidEnum, pData) == 18, "the enumeration's data pointer is at 18");
static_assert(sizeof(MaidArray) == 32, "an array descriptor is 32 bytes");
static_assert(offsetof(MaidArray, wPhysicalBytes) == 20, "element size at 20");
static_assert(offsetof(MaidArray, pData) == 24, "the array's data pointer is at 24");
static_assert(sizeof(MaidDataInfo) == 20, "a block header is five 32-bit fields");

// Commands.
constexpr ULONG kNkMAIDCommand_Async = 0;
constexpr ULONG kNkMAIDCommand_Open = 1;
constexpr ULONG kNkMAIDCommand_Close = 2;
constexpr ULONG kNkMAIDCommand_GetCapCount = 3;
constexpr ULONG kNkMAIDCommand_GetCapInfo = 4;
constexpr ULONG kNkMAIDCommand_CapStart = 5;
constexpr ULONG kNkMAIDCommand_CapSet = 6;
constexpr ULONG kNkMAIDCommand_CapGet = 7;
constexpr ULONG kNkMAIDCommand_CapGetDefault = 8;
constexpr ULONG kNkMAIDCommand_CapGetArray = 9;

// Data types of a call's data argument.
constexpr ULONG kNkMAIDDataType_Null = 0;
constexpr ULONG kNkMAIDDataType_Unsigned = 3;
constexpr ULONG kNkMAIDDataType_BooleanPtr = 4;
constexpr ULONG kNkMAIDDataType_IntegerPtr = 5;
constexpr ULONG kNkMAIDDataType_UnsignedPtr = 6;
constexpr ULONG kNkMAIDDataType_StringPtr = 11;
constexpr ULONG kNkMAIDDataType_CallbackPtr = 13;
constexpr ULONG kNkMAIDDataType_RangePtr = 14;
constexpr ULONG kNkMAIDDataType_ArrayPtr = 15;
constexpr ULONG kNkMAIDDataType_EnumPtr = 16;
constexpr ULONG kNkMAIDDataType_ObjectPtr = 17;
constexpr ULONG kNkMAIDDataType_CapInfoPtr = 18;

// Capability types.
constexpr ULONG kNkMAIDCapType_Process = 0;
constexpr ULONG kNkMAIDCapType_Boolean = 1;
constexpr ULONG kNkMAIDCapType_Integer = 2;
constexpr ULONG kNkMAIDCapType_Unsigned = 3;
constexpr ULONG kNkMAIDCapType_String = 8;
constexpr ULONG kNkMAIDCapType_Enum = 12;
constexpr ULONG kNkMAIDCapType_Range = 13;
constexpr ULONG kNkMAIDCapType_Array = 15;

// Element kinds of enumerations and arrays.
constexpr ULONG kNkMAIDArrayType_Integer = 1;
constexpr ULONG kNkMAIDArrayType_Unsigned = 2;
constexpr ULONG kNkMAIDArrayType_PackedString = 7;
constexpr ULONG kNkMAIDArrayType_String = 8;

// Operation bits of a capability record.
constexpr ULONG kNkMAIDCapOperation_Start = 0x0001;
constexpr ULONG kNkMAIDCapOperation_Get = 0x0002;
constexpr ULONG kNkMAIDCapOperation_Set = 0x0004;
constexpr ULONG kNkMAIDCapOperation_GetArray = 0x0008;

// Capabilities the simulated objects have.
constexpr ULONG kNkMAIDCapability_EventProc = 3;
constexpr ULONG kNkMAIDCapability_DataProc = 4;
constexpr ULONG kNkMAIDCapability_IsAlive = 6;
constexpr ULONG kNkMAIDCapability_Children = 7;
constexpr ULONG kNkMAIDCapability_Name = 9;
constexpr ULONG kNkMAIDCapability_DataTypes = 12;
constexpr ULONG kNkMAIDCapability_StoredBytes = 14;
constexpr ULONG kNkMAIDCapability_Capture = 17;
constexpr ULONG kNkMAIDCapability_Acquire = 20;
constexpr ULONG kNkMAIDCapability_Firmware = 46;
constexpr ULONG kNkMAIDCapability_BatteryLevel = 49;
constexpr ULONG kNkMAIDCapability_ExposureMode = 0x8111;
constexpr ULONG kNkMAIDCapability_ShutterSpeed = 0x8112;
constexpr ULONG kNkMAIDCapability_Aperture = 0x8113;
constexpr ULONG kNkMAIDCapability_Sensitivity = 0x8117;
constexpr ULONG kNkMAIDCapability_WBMode = 0x8118;
constexpr ULONG kNkMAIDCapability_FocusMode = 0x8120;
constexpr ULONG kNkMAIDCapability_IsoControl = 0x816C;
constexpr ULONG kNkMAIDCapability_RawJpegImageStatus = 0x81B5;
constexpr ULONG kNkMAIDCapability_CameraType = 0x81D7;
constexpr ULONG kNkMAIDCapability_LiveViewStatus = 0x823E;
constexpr ULONG kNkMAIDCapability_ContrastAF = 0x8240;
constexpr ULONG kNkMAIDCapability_GetLiveViewImage = 0x8247;
constexpr ULONG kNkMAIDCapability_MFDriveStep = 0x8248;
constexpr ULONG kNkMAIDCapability_MFDrive = 0x8249;
constexpr ULONG kNkMAIDCapability_SaveMedia = 0x8305;
constexpr ULONG kNkMAIDCapability_AutoIsoSensitivity = 0x8422;  // ISO while auto ISO is on

// Results.
constexpr NKERROR kNkMAIDResult_NotSupported = -127;
constexpr NKERROR kNkMAIDResult_UnexpectedDataType = -126;
constexpr NKERROR kNkMAIDResult_ValueOutOfBounds = -125;
constexpr NKERROR kNkMAIDResult_BufferSize = -124;
constexpr NKERROR kNkMAIDResult_Aborted = -123;
constexpr NKERROR kNkMAIDResult_NoDataProc = -120;
constexpr NKERROR kNkMAIDResult_ZombieObject = -119;
constexpr NKERROR kNkMAIDResult_UnexpectedError = -117;
constexpr NKERROR kNkMAIDResult_HardwareError = -116;
constexpr NKERROR kNkMAIDResult_NoError = 0;
constexpr NKERROR kNkMAIDResult_Pending = 1;
constexpr NKERROR kNkMAIDResult_MediaFull = 131;
constexpr NKERROR kNkMAIDResult_CameraNotFound = 134;
constexpr NKERROR kNkMAIDResult_OutOfFocus = 137;
constexpr NKERROR kNkMAIDResult_DeviceBusy = 152;
constexpr NKERROR kNkMAIDResult_NotLiveView = 159;

// Events.
constexpr ULONG kNkMAIDEvent_AddChild = 0;
constexpr ULONG kNkMAIDEvent_RemoveChild = 1;
constexpr ULONG kNkMAIDEvent_CapChange = 4;
constexpr ULONG kNkMAIDEvent_CapChangeValueOnly = 6;

// Data blocks: the flag of a file's block, and the file data types.
constexpr ULONG kNkMAIDDataObjType_File = 0x10;
constexpr ULONG kNkMAIDFileDataType_JPEG = 1;
constexpr ULONG kNkMAIDFileDataType_TIFF = 2;
constexpr ULONG kNkMAIDFileDataType_NIF = 4;
constexpr ULONG kNkMAIDFileDataType_NDF = 0x101;

// The data types bit of an item with image data.
constexpr ULONG kNkMAIDDataObjType_Image = 0x01;

constexpr const char kEntryPointName[] = "MAIDEntryPoint";

}  // namespace sdk
}  // namespace lbsim
