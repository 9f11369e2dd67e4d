// The simulator's declarations of the module interface against the camera layer's: written
// apart on purpose, they must agree number for number and byte for byte, or one side is wrong.
#include <gtest/gtest.h>

#include <cstddef>

#include "camera/maid/maid.h"
#include "sim/sim_sdk.h"

namespace {

namespace sim = lbsim::sdk;

// The same name in both declarations, as the caller sees it and as the simulator does.
struct SameNumber {
  const char* name;
  long long ours, sims;
};
#define LB_NUMBER(name) \
  SameNumber { #name, static_cast<long long>(::kNkMAID##name), static_cast<long long>(sim::kNkMAID##name) }

TEST(SimInterface, NumbersAgreeWithTheCameraLayer) {
  const SameNumber numbers[] = {
      LB_NUMBER(Command_Async), LB_NUMBER(Command_Open), LB_NUMBER(Command_Close),
      LB_NUMBER(Command_GetCapCount), LB_NUMBER(Command_GetCapInfo), LB_NUMBER(Command_CapStart),
      LB_NUMBER(Command_CapSet), LB_NUMBER(Command_CapGet), LB_NUMBER(Command_CapGetDefault),
      LB_NUMBER(Command_CapGetArray), LB_NUMBER(DataType_Null), LB_NUMBER(DataType_Unsigned),
      LB_NUMBER(DataType_BooleanPtr), LB_NUMBER(DataType_IntegerPtr),
      LB_NUMBER(DataType_UnsignedPtr), LB_NUMBER(DataType_StringPtr),
      LB_NUMBER(DataType_CallbackPtr), LB_NUMBER(DataType_RangePtr), LB_NUMBER(DataType_ArrayPtr),
      LB_NUMBER(DataType_EnumPtr), LB_NUMBER(DataType_ObjectPtr), LB_NUMBER(DataType_CapInfoPtr),
      LB_NUMBER(CapType_Process), LB_NUMBER(CapType_Boolean), LB_NUMBER(CapType_Integer),
      LB_NUMBER(CapType_Unsigned), LB_NUMBER(CapType_String), LB_NUMBER(CapType_Enum),
      LB_NUMBER(CapType_Range), LB_NUMBER(CapType_Array), LB_NUMBER(ArrayType_Integer),
      LB_NUMBER(ArrayType_Unsigned), LB_NUMBER(ArrayType_PackedString), LB_NUMBER(ArrayType_String),
      LB_NUMBER(CapOperation_Start), LB_NUMBER(CapOperation_Get), LB_NUMBER(CapOperation_Set),
      LB_NUMBER(CapOperation_GetArray), LB_NUMBER(Capability_EventProc),
      LB_NUMBER(Capability_DataProc), LB_NUMBER(Capability_IsAlive), LB_NUMBER(Capability_Children),
      LB_NUMBER(Capability_Name), LB_NUMBER(Capability_DataTypes),
      LB_NUMBER(Capability_StoredBytes), LB_NUMBER(Capability_Capture),
      LB_NUMBER(Capability_Acquire), LB_NUMBER(Capability_Firmware),
      LB_NUMBER(Capability_BatteryLevel), LB_NUMBER(Capability_ExposureMode),
      LB_NUMBER(Capability_ShutterSpeed), LB_NUMBER(Capability_Aperture),
      LB_NUMBER(Capability_Sensitivity), LB_NUMBER(Capability_WBMode),
      LB_NUMBER(Capability_FocusMode), LB_NUMBER(Capability_IsoControl),
      LB_NUMBER(Capability_RawJpegImageStatus), LB_NUMBER(Capability_CameraType),
      LB_NUMBER(Capability_LiveViewStatus), LB_NUMBER(Capability_ContrastAF),
      LB_NUMBER(Capability_GetLiveViewImage), LB_NUMBER(Capability_MFDriveStep),
      LB_NUMBER(Capability_MFDrive), LB_NUMBER(Capability_SaveMedia),
      LB_NUMBER(Capability_AutoIsoSensitivity), LB_NUMBER(Result_NotSupported),
      LB_NUMBER(Result_UnexpectedDataType), LB_NUMBER(Result_ValueOutOfBounds),
      LB_NUMBER(Result_BufferSize), LB_NUMBER(Result_Aborted), LB_NUMBER(Result_NoDataProc),
      LB_NUMBER(Result_ZombieObject), LB_NUMBER(Result_UnexpectedError),
      LB_NUMBER(Result_HardwareError), LB_NUMBER(Result_NoError), LB_NUMBER(Result_Pending),
      LB_NUMBER(Result_CameraNotFound), LB_NUMBER(Result_DeviceBusy), LB_NUMBER(Result_NotLiveView),
      LB_NUMBER(Event_AddChild), LB_NUMBER(Event_RemoveChild), LB_NUMBER(Event_CapChange),
      LB_NUMBER(Event_CapChangeValueOnly), LB_NUMBER(DataObjType_File),
      LB_NUMBER(FileDataType_JPEG), LB_NUMBER(FileDataType_TIFF), LB_NUMBER(FileDataType_NIF),
      LB_NUMBER(FileDataType_NDF), LB_NUMBER(DataObjType_Image)
  };
  for (const SameNumber& n : numbers) EXPECT_EQ(n.ours, n.sims) << n.name;
  EXPECT_STREQ(maid::kEntryPointName, sim::kEntryPointName);
}

// A record's size, or a field's offset and size, in both declarations.
struct SameLayout {
  const char* name;
  std::size_t ours, sims;
};
#define LB_SIZE(type) SameLayout{#type, sizeof(maid::type), sizeof(sim::type)}
#define LB_FIELD(record, field)                                                                \
  SameLayout{#record "::" #field, offsetof(maid::record, field), offsetof(sim::record, field)}, \
      SameLayout { #record "::" #field " size", sizeof(maid::record::field), sizeof(sim::record::field) }

TEST(SimInterface, RecordLayoutsAgreeWithTheCameraLayer) {
  // The caller hands the module its own records to fill (a range, an enum, an array): a module
  // that writes a larger one would write past the caller's.
  const SameLayout layouts[] = {
      LB_SIZE(ULONG), LB_SIZE(NKERROR), LB_SIZE(NKPARAM), LB_SIZE(MaidObject), LB_SIZE(MaidCapInfo),
      LB_SIZE(MaidEnum), LB_SIZE(MaidArray), LB_SIZE(MaidRange), LB_SIZE(MaidDataInfo),
      LB_SIZE(MaidCallback),
      LB_FIELD(MaidObject, ulType), LB_FIELD(MaidObject, ulID), LB_FIELD(MaidObject, refClient),
      LB_FIELD(MaidObject, refModule), LB_FIELD(MaidCapInfo, ulID), LB_FIELD(MaidCapInfo, ulType),
      LB_FIELD(MaidCapInfo, ulVisibility), LB_FIELD(MaidCapInfo, ulOperations),
      LB_FIELD(MaidCapInfo, szDescription), LB_FIELD(MaidEnum, ulType),
      LB_FIELD(MaidEnum, ulElements), LB_FIELD(MaidEnum, ulValue), LB_FIELD(MaidEnum, ulDefault),
      LB_FIELD(MaidEnum, wPhysicalBytes), LB_FIELD(MaidEnum, pData), LB_FIELD(MaidArray, ulType),
      LB_FIELD(MaidArray, ulElements), LB_FIELD(MaidArray, ulDimSize1),
      LB_FIELD(MaidArray, ulDimSize2), LB_FIELD(MaidArray, ulDimSize3),
      LB_FIELD(MaidArray, wPhysicalBytes), LB_FIELD(MaidArray, wLogicalBits),
      LB_FIELD(MaidArray, pData), LB_FIELD(MaidRange, lfValue), LB_FIELD(MaidRange, lfDefault),
      LB_FIELD(MaidRange, lfLower), LB_FIELD(MaidRange, lfUpper), LB_FIELD(MaidDataInfo, ulType),
      LB_FIELD(MaidDataInfo, ulFileDataType), LB_FIELD(MaidDataInfo, ulTotalLength),
      LB_FIELD(MaidDataInfo, ulStart), LB_FIELD(MaidDataInfo, ulLength),
      LB_FIELD(MaidCallback, pProc), LB_FIELD(MaidCallback, refProc)
  };
  for (const SameLayout& l : layouts) EXPECT_EQ(l.ours, l.sims) << l.name;
}

}  // namespace
