// The simulator's declarations of the module interface against the camera layer's: written
// apart on purpose, they must agree number for number and byte for byte, or one side is wrong.
#include <gtest/gtest.h>

#include <cstddef>

#include "camera/maid/maid.h"
#include "sim/sim_sdk.h"

namespace {

namespace sim = lbsim::sdk;

#define LB_SAME_NUMBER(name) EXPECT_EQ(static_cast<long long>(::name), static_cast<long long>(sim::name)) << #name

TEST(SimInterface, NumbersAgreeWithTheCameraLayer) {
  LB_SAME_NUMBER(kNkMAIDCommand_Async);
  LB_SAME_NUMBER(kNkMAIDCommand_Open);
  LB_SAME_NUMBER(kNkMAIDCommand_Close);
  LB_SAME_NUMBER(kNkMAIDCommand_GetCapCount);
  LB_SAME_NUMBER(kNkMAIDCommand_GetCapInfo);
  LB_SAME_NUMBER(kNkMAIDCommand_CapStart);
  LB_SAME_NUMBER(kNkMAIDCommand_CapSet);
  LB_SAME_NUMBER(kNkMAIDCommand_CapGet);
  LB_SAME_NUMBER(kNkMAIDCommand_CapGetDefault);
  LB_SAME_NUMBER(kNkMAIDCommand_CapGetArray);

  LB_SAME_NUMBER(kNkMAIDDataType_Null);
  LB_SAME_NUMBER(kNkMAIDDataType_Unsigned);
  LB_SAME_NUMBER(kNkMAIDDataType_BooleanPtr);
  LB_SAME_NUMBER(kNkMAIDDataType_IntegerPtr);
  LB_SAME_NUMBER(kNkMAIDDataType_UnsignedPtr);
  LB_SAME_NUMBER(kNkMAIDDataType_StringPtr);
  LB_SAME_NUMBER(kNkMAIDDataType_CallbackPtr);
  LB_SAME_NUMBER(kNkMAIDDataType_RangePtr);
  LB_SAME_NUMBER(kNkMAIDDataType_ArrayPtr);
  LB_SAME_NUMBER(kNkMAIDDataType_EnumPtr);
  LB_SAME_NUMBER(kNkMAIDDataType_ObjectPtr);
  LB_SAME_NUMBER(kNkMAIDDataType_CapInfoPtr);

  LB_SAME_NUMBER(kNkMAIDCapType_Process);
  LB_SAME_NUMBER(kNkMAIDCapType_Boolean);
  LB_SAME_NUMBER(kNkMAIDCapType_Integer);
  LB_SAME_NUMBER(kNkMAIDCapType_Unsigned);
  LB_SAME_NUMBER(kNkMAIDCapType_String);
  LB_SAME_NUMBER(kNkMAIDCapType_Enum);
  LB_SAME_NUMBER(kNkMAIDCapType_Range);
  LB_SAME_NUMBER(kNkMAIDCapType_Array);

  LB_SAME_NUMBER(kNkMAIDArrayType_Integer);
  LB_SAME_NUMBER(kNkMAIDArrayType_Unsigned);
  LB_SAME_NUMBER(kNkMAIDArrayType_PackedString);
  LB_SAME_NUMBER(kNkMAIDArrayType_String);

  LB_SAME_NUMBER(kNkMAIDCapOperation_Start);
  LB_SAME_NUMBER(kNkMAIDCapOperation_Get);
  LB_SAME_NUMBER(kNkMAIDCapOperation_Set);
  LB_SAME_NUMBER(kNkMAIDCapOperation_GetArray);

  LB_SAME_NUMBER(kNkMAIDCapability_EventProc);
  LB_SAME_NUMBER(kNkMAIDCapability_DataProc);
  LB_SAME_NUMBER(kNkMAIDCapability_IsAlive);
  LB_SAME_NUMBER(kNkMAIDCapability_Children);
  LB_SAME_NUMBER(kNkMAIDCapability_Name);
  LB_SAME_NUMBER(kNkMAIDCapability_DataTypes);
  LB_SAME_NUMBER(kNkMAIDCapability_StoredBytes);
  LB_SAME_NUMBER(kNkMAIDCapability_Capture);
  LB_SAME_NUMBER(kNkMAIDCapability_Acquire);
  LB_SAME_NUMBER(kNkMAIDCapability_Firmware);
  LB_SAME_NUMBER(kNkMAIDCapability_BatteryLevel);
  LB_SAME_NUMBER(kNkMAIDCapability_ExposureMode);
  LB_SAME_NUMBER(kNkMAIDCapability_ShutterSpeed);
  LB_SAME_NUMBER(kNkMAIDCapability_Aperture);
  LB_SAME_NUMBER(kNkMAIDCapability_Sensitivity);
  LB_SAME_NUMBER(kNkMAIDCapability_WBMode);
  LB_SAME_NUMBER(kNkMAIDCapability_FocusMode);
  LB_SAME_NUMBER(kNkMAIDCapability_IsoControl);
  LB_SAME_NUMBER(kNkMAIDCapability_RawJpegImageStatus);
  LB_SAME_NUMBER(kNkMAIDCapability_CameraType);
  LB_SAME_NUMBER(kNkMAIDCapability_LiveViewStatus);
  LB_SAME_NUMBER(kNkMAIDCapability_ContrastAF);
  LB_SAME_NUMBER(kNkMAIDCapability_GetLiveViewImage);
  LB_SAME_NUMBER(kNkMAIDCapability_MFDriveStep);
  LB_SAME_NUMBER(kNkMAIDCapability_MFDrive);
  LB_SAME_NUMBER(kNkMAIDCapability_SaveMedia);
  LB_SAME_NUMBER(kNkMAIDCapability_AutoIsoSensitivity);

  LB_SAME_NUMBER(kNkMAIDResult_NotSupported);
  LB_SAME_NUMBER(kNkMAIDResult_UnexpectedDataType);
  LB_SAME_NUMBER(kNkMAIDResult_ValueOutOfBounds);
  LB_SAME_NUMBER(kNkMAIDResult_BufferSize);
  LB_SAME_NUMBER(kNkMAIDResult_Aborted);
  LB_SAME_NUMBER(kNkMAIDResult_NoDataProc);
  LB_SAME_NUMBER(kNkMAIDResult_ZombieObject);
  LB_SAME_NUMBER(kNkMAIDResult_UnexpectedError);
  LB_SAME_NUMBER(kNkMAIDResult_HardwareError);
  LB_SAME_NUMBER(kNkMAIDResult_NoError);
  LB_SAME_NUMBER(kNkMAIDResult_Pending);
  LB_SAME_NUMBER(kNkMAIDResult_CameraNotFound);
  LB_SAME_NUMBER(kNkMAIDResult_DeviceBusy);
  LB_SAME_NUMBER(kNkMAIDResult_NotLiveView);

  LB_SAME_NUMBER(kNkMAIDEvent_AddChild);
  LB_SAME_NUMBER(kNkMAIDEvent_RemoveChild);
  LB_SAME_NUMBER(kNkMAIDEvent_CapChange);
  LB_SAME_NUMBER(kNkMAIDEvent_CapChangeValueOnly);

  LB_SAME_NUMBER(kNkMAIDDataObjType_File);
  LB_SAME_NUMBER(kNkMAIDFileDataType_JPEG);
  LB_SAME_NUMBER(kNkMAIDFileDataType_TIFF);
  LB_SAME_NUMBER(kNkMAIDFileDataType_NIF);
  LB_SAME_NUMBER(kNkMAIDFileDataType_NDF);
  LB_SAME_NUMBER(kNkMAIDDataObjType_Image);

  EXPECT_STREQ(maid::kEntryPointName, sim::kEntryPointName);
}

#define LB_SAME_FIELD(record, field)                                                   \
  do {                                                                                 \
    EXPECT_EQ(offsetof(maid::record, field), offsetof(sim::record, field)) << #record "::" #field; \
    EXPECT_EQ(sizeof(maid::record::field), sizeof(sim::record::field)) << #record "::" #field;     \
  } while (0)

TEST(SimInterface, RecordLayoutsAgreeWithTheCameraLayer) {
  EXPECT_EQ(sizeof(maid::ULONG), sizeof(sim::ULONG));
  EXPECT_EQ(sizeof(maid::NKERROR), sizeof(sim::NKERROR));
  EXPECT_EQ(sizeof(maid::NKPARAM), sizeof(sim::NKPARAM));

  EXPECT_EQ(sizeof(maid::MaidObject), sizeof(sim::MaidObject));
  LB_SAME_FIELD(MaidObject, ulType);
  LB_SAME_FIELD(MaidObject, ulID);
  LB_SAME_FIELD(MaidObject, refClient);
  LB_SAME_FIELD(MaidObject, refModule);

  EXPECT_EQ(sizeof(maid::MaidCapInfo), sizeof(sim::MaidCapInfo));
  LB_SAME_FIELD(MaidCapInfo, ulID);
  LB_SAME_FIELD(MaidCapInfo, ulType);
  LB_SAME_FIELD(MaidCapInfo, ulVisibility);
  LB_SAME_FIELD(MaidCapInfo, ulOperations);
  LB_SAME_FIELD(MaidCapInfo, szDescription);

  EXPECT_EQ(sizeof(maid::MaidEnum), sizeof(sim::MaidEnum));
  LB_SAME_FIELD(MaidEnum, ulType);
  LB_SAME_FIELD(MaidEnum, ulElements);
  LB_SAME_FIELD(MaidEnum, ulValue);
  LB_SAME_FIELD(MaidEnum, ulDefault);
  LB_SAME_FIELD(MaidEnum, wPhysicalBytes);
  LB_SAME_FIELD(MaidEnum, pData);

  EXPECT_EQ(sizeof(maid::MaidArray), sizeof(sim::MaidArray));
  LB_SAME_FIELD(MaidArray, ulType);
  LB_SAME_FIELD(MaidArray, ulElements);
  LB_SAME_FIELD(MaidArray, ulDimSize1);
  LB_SAME_FIELD(MaidArray, ulDimSize2);
  LB_SAME_FIELD(MaidArray, ulDimSize3);
  LB_SAME_FIELD(MaidArray, wPhysicalBytes);
  LB_SAME_FIELD(MaidArray, wLogicalBits);
  LB_SAME_FIELD(MaidArray, pData);

  // The caller hands the module its own range record to fill: a module that writes a larger
  // one would write past the caller's.
  EXPECT_EQ(sizeof(maid::MaidRange), sizeof(sim::MaidRange));
  LB_SAME_FIELD(MaidRange, lfValue);
  LB_SAME_FIELD(MaidRange, lfDefault);
  LB_SAME_FIELD(MaidRange, lfLower);
  LB_SAME_FIELD(MaidRange, lfUpper);

  EXPECT_EQ(sizeof(maid::MaidDataInfo), sizeof(sim::MaidDataInfo));
  LB_SAME_FIELD(MaidDataInfo, ulType);
  LB_SAME_FIELD(MaidDataInfo, ulFileDataType);
  LB_SAME_FIELD(MaidDataInfo, ulTotalLength);
  LB_SAME_FIELD(MaidDataInfo, ulStart);
  LB_SAME_FIELD(MaidDataInfo, ulLength);

  EXPECT_EQ(sizeof(maid::MaidCallback), sizeof(sim::MaidCallback));
  LB_SAME_FIELD(MaidCallback, pProc);
  LB_SAME_FIELD(MaidCallback, refProc);
}

}  // namespace
