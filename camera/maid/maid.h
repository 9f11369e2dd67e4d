// The camera module interface as lensbridge uses it.
//
// A camera module (TypeNNNN.md3) is a library exporting one function, MAIDEntryPoint. Every
// operation on the module's object tree (module -> cameras -> capture items -> data objects)
// is one call of that function with a command id. Results, events, data blocks and
// completions come back through the procedures registered here, always inside one of our own
// calls and on the calling thread.
//
// These declarations are written from the interface as the modules present it; the layouts
// are what the modules read and write, so every size and offset below is pinned by a
// static_assert.
#pragma once

#include <cstddef>
#include <cstdint>

namespace maid {

using ULONG = std::uint32_t;     // 32-bit on every platform the modules exist for
using NKERROR = std::int32_t;    // result of every call
using NKPARAM = std::uintptr_t;  // pointer-sized value or pointer
using NKREF = void*;             // opaque reference handed back to us

struct MaidObject {
  ULONG ulType;     // object type (module, source, item, data), filled by the module
  ULONG ulID;       // the id the object was opened with
  NKREF refClient;  // ours: the CNikonObject that wraps this record
  NKREF refModule;  // the module's own reference
};

struct MaidCapInfo {
  ULONG ulID;
  ULONG ulType;  // capability type (kNkMAIDCapType_*)
  ULONG ulVisibility;
  ULONG ulOperations;  // bit set of kNkMAIDCapOperation_*
  char szDescription[256];
};

#pragma pack(push, 2)
// Enumeration (and plain array) descriptor. The 2-byte packing puts the data pointer at
// offset 18, exactly where the modules expect it.
struct MaidEnum {
  ULONG ulType;                  // element kind (kNkMAIDArrayType_*)
  ULONG ulElements;              // element count (bytes, for packed strings)
  ULONG ulValue;                 // current index
  ULONG ulDefault;               // default index
  std::uint16_t wPhysicalBytes;  // size of one element in bytes
  void* pData;                   // caller's buffer
};
#pragma pack(pop)

// Array descriptor used for live-view frames.
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

// Range record (data type 14). Only lfValue is ever changed by us; the rest is passed back as
// the module gave it.
struct MaidRange {
  double lfValue;
  double lfDefault;
  ULONG ulValueIndex;
  ULONG ulDefaultIndex;
  double lfLower;
  double lfUpper;
  ULONG ulSteps;
};

// Header of one data block, handed to the data procedure.
struct MaidDataInfo {
  ULONG ulType;          // flags; kNkMAIDDataObjType_File marks a block of a file
  ULONG ulFileDataType;  // kNkMAIDFileDataType_*
  ULONG ulTotalLength;   // length of the whole file
  ULONG ulStart;         // offset of this block in the file
  ULONG ulLength;        // length of this block
};

using EventProc = void (*)(NKREF ref, ULONG event, NKPARAM data);
using DataProc = NKERROR (*)(NKREF ref, void* dataInfo, void* data);
using CompletionProc = void (*)(MaidObject* object, ULONG command, ULONG param, ULONG dataType,
                                NKPARAM data, NKREF completionRef, NKERROR result);

struct MaidCallback {
  void* pProc;    // EventProc or DataProc
  NKREF refProc;  // handed back as the procedure's first argument
};

using EntryPoint = NKERROR (*)(MaidObject* object, ULONG command, ULONG param, ULONG dataType,
                               NKPARAM data, CompletionProc completionProc, NKREF completionRef);

constexpr const char kEntryPointName[] = "MAIDEntryPoint";

static_assert(sizeof(MaidObject) == 24, "MaidObject is 24 bytes");
static_assert(sizeof(MaidCapInfo) == 272, "MaidCapInfo is 272 bytes");
static_assert(offsetof(MaidEnum, wPhysicalBytes) == 16, "MaidEnum element size at 16");
static_assert(offsetof(MaidEnum, pData) == 18, "MaidEnum data pointer at 18");
static_assert(sizeof(MaidEnum) == 26, "MaidEnum is 26 bytes");
static_assert(sizeof(MaidArray) == 32, "MaidArray is 32 bytes");
static_assert(offsetof(MaidArray, pData) == 24, "MaidArray data pointer at 24");
static_assert(offsetof(MaidRange, lfValue) == 0, "MaidRange starts with its value");
static_assert(sizeof(MaidDataInfo) == 20, "MaidDataInfo is five 32-bit fields");
static_assert(sizeof(MaidCallback) == 2 * sizeof(void*), "MaidCallback is two pointers");

}  // namespace maid

// Commands.
enum : maid::ULONG {
  kNkMAIDCommand_Async = 0,
  kNkMAIDCommand_Open = 1,
  kNkMAIDCommand_Close = 2,
  kNkMAIDCommand_GetCapCount = 3,
  kNkMAIDCommand_GetCapInfo = 4,
  kNkMAIDCommand_CapStart = 5,
  kNkMAIDCommand_CapSet = 6,
  kNkMAIDCommand_CapGet = 7,
  kNkMAIDCommand_CapGetDefault = 8,
  kNkMAIDCommand_CapGetArray = 9,
  kNkMAIDCommand_Mark = 10,
  kNkMAIDCommand_AbortToMark = 11,
  kNkMAIDCommand_Abort = 12,
  kNkMAIDCommand_EnumChildren = 13,
  kNkMAIDCommand_GetParent = 14,
  kNkMAIDCommand_ResetToDefault = 15,
};

// Data types of a call's data argument.
enum : maid::ULONG {
  kNkMAIDDataType_Null = 0,
  kNkMAIDDataType_Unsigned = 3,    // by value
  kNkMAIDDataType_BooleanPtr = 4,  // one byte
  kNkMAIDDataType_IntegerPtr = 5,
  kNkMAIDDataType_UnsignedPtr = 6,
  kNkMAIDDataType_StringPtr = 11,  // 256-byte buffer
  kNkMAIDDataType_CallbackPtr = 13,
  kNkMAIDDataType_RangePtr = 14,
  kNkMAIDDataType_ArrayPtr = 15,
  kNkMAIDDataType_EnumPtr = 16,
  kNkMAIDDataType_ObjectPtr = 17,
  kNkMAIDDataType_CapInfoPtr = 18,
};

// Capability types, as listed in MaidCapInfo::ulType.
enum : maid::ULONG {
  kNkMAIDCapType_Process = 0,
  kNkMAIDCapType_Boolean = 1,
  kNkMAIDCapType_Integer = 2,
  kNkMAIDCapType_Unsigned = 3,
  kNkMAIDCapType_String = 8,
  kNkMAIDCapType_Enum = 12,
  kNkMAIDCapType_Range = 13,
  kNkMAIDCapType_Array = 15,
};

// Element kinds of enumerations and arrays (MaidEnum::ulType, MaidArray::ulType).
enum : maid::ULONG {
  kNkMAIDArrayType_Boolean = 0,
  kNkMAIDArrayType_Integer = 1,
  kNkMAIDArrayType_Unsigned = 2,
  kNkMAIDArrayType_PackedString = 7,
  kNkMAIDArrayType_String = 8,
};

// Capability operations (MaidCapInfo::ulOperations bits).
enum : maid::ULONG {
  kNkMAIDCapOperation_Start = 0x0001,
  kNkMAIDCapOperation_Get = 0x0002,
  kNkMAIDCapOperation_Set = 0x0004,
  kNkMAIDCapOperation_GetArray = 0x0008,
  kNkMAIDCapOperation_GetDefault = 0x0010,
};

// Capabilities lensbridge uses.
enum : maid::ULONG {
  kNkMAIDCapability_EventProc = 3,
  kNkMAIDCapability_DataProc = 4,
  kNkMAIDCapability_IsAlive = 6,
  kNkMAIDCapability_Children = 7,
  kNkMAIDCapability_Name = 9,
  kNkMAIDCapability_DataTypes = 12,
  kNkMAIDCapability_StoredBytes = 14,
  kNkMAIDCapability_Capture = 17,
  kNkMAIDCapability_Acquire = 20,
  kNkMAIDCapability_Firmware = 46,
  kNkMAIDCapability_BatteryLevel = 49,
  kNkMAIDCapability_ExposureMode = 0x8111,
  kNkMAIDCapability_ShutterSpeed = 0x8112,
  kNkMAIDCapability_Aperture = 0x8113,
  kNkMAIDCapability_FlexibleProgram = 0x8114,
  kNkMAIDCapability_Sensitivity = 0x8117,
  kNkMAIDCapability_WBMode = 0x8118,
  kNkMAIDCapability_FocusMode = 0x8120,
  kNkMAIDCapability_IsoControl = 0x816C,
  kNkMAIDCapability_RawJpegImageStatus = 0x81B5,
  kNkMAIDCapability_CameraType = 0x81D7,
  kNkMAIDCapability_LiveViewStatus = 0x823E,
  kNkMAIDCapability_ContrastAF = 0x8240,
  kNkMAIDCapability_GetLiveViewImage = 0x8247,
  kNkMAIDCapability_MFDriveStep = 0x8248,
  kNkMAIDCapability_MFDrive = 0x8249,
  kNkMAIDCapability_SaveMedia = 0x8305,
  // Sensitivity while automatic ISO is on. It has no published name.
  kNkMAIDCapability_AutoIsoSensitivity = 0x8422,
};

// Results.
enum : maid::NKERROR {
  kNkMAIDResult_NotSupported = -127,
  kNkMAIDResult_UnexpectedDataType = -126,
  kNkMAIDResult_ValueOutOfBounds = -125,
  kNkMAIDResult_BufferSize = -124,
  kNkMAIDResult_Aborted = -123,
  kNkMAIDResult_NoMedia = -122,
  kNkMAIDResult_NoEventProc = -121,
  kNkMAIDResult_NoDataProc = -120,
  kNkMAIDResult_ZombieObject = -119,
  kNkMAIDResult_OutOfMemory = -118,
  kNkMAIDResult_UnexpectedError = -117,
  kNkMAIDResult_HardwareError = -116,
  kNkMAIDResult_MissingComponent = -115,
  kNkMAIDResult_NoError = 0,
  kNkMAIDResult_Pending = 1,
  kNkMAIDResult_OrphanedChildren = 2,
  kNkMAIDResult_CameraNotFound = 134,
  kNkMAIDResult_OutOfFocus = 137,
  kNkMAIDResult_DeviceBusy = 152,
  kNkMAIDResult_NotLiveView = 159,
};

// Events.
enum : maid::ULONG {
  kNkMAIDEvent_AddChild = 0,
  kNkMAIDEvent_RemoveChild = 1,
  kNkMAIDEvent_WarmingUp = 2,
  kNkMAIDEvent_WarmedUp = 3,
  kNkMAIDEvent_CapChange = 4,
  kNkMAIDEvent_OrphanedChildren = 5,
  kNkMAIDEvent_CapChangeValueOnly = 6,
  kNkMAIDEvent_AddPreviewImage = 263,
  kNkMAIDEvent_CaptureComplete = 264,
};

// Data-block flags and file data types (MaidDataInfo).
enum : maid::ULONG {
  kNkMAIDDataObjType_File = 0x10,
  kNkMAIDFileDataType_JPEG = 1,
  kNkMAIDFileDataType_TIFF = 2,
  kNkMAIDFileDataType_NIF = 4,  // NEF raw file
  kNkMAIDFileDataType_NDF = 0x101,
};

// Object type bits of DataTypes on an item.
enum : maid::ULONG {
  kNkMAIDDataObjType_Image = 0x01,
};
