// The dispatcher's camera commands: listing, connecting and disconnecting cameras, their
// settings, live-view status, auto-focus and the shutdown of the camera side, with the replies
// they share and the device-id reader.
//
// Threads: run by the camera worker, on its own thread or on the lane of the module a command
// needs (see dispatcher.h), with g_sdkLock held for the whole command. Replies are queued with
// the request's id; many commands have none.
#pragma once

#include <cstdint>
#include <vector>

#include "camera/camera/pending_release.h"
#include "camera/sdk_lock.h"

class CCamera;
class CNikonModule;
class ZnLuaTE;
class ZnLuaTETable;

// The error code of a request that needs a connected camera when none is.
constexpr int kNoCameraConnected = 65535;

// "error" with "error_code" and, when description is not null, "error_description".
void SendErrorMessage(std::uint32_t requestId, int errorCode, const char* description)
    LB_REQUIRES(g_sdkLock);
// The 65535 "error" of a request that names a camera that is not connected.
void SendNamedCameraNotConnected(std::uint32_t requestId) LB_REQUIRES(g_sdkLock);

// "doAutoFocus": replies "ok" {status = "AutoFocusOn"/"AutoFocusOff"} with the state before
// the change, then toggles the current camera's contrast auto-focus. No current module or
// camera: no reply.
void DoAutoFocus(std::uint32_t requestId, const ZnLuaTE* params) LB_REQUIRES(g_sdkLock);

// "isLiveViewOn": replies "ok" {status = "liveViewOn"/"liveViewOff"}. No current module: no
// reply.
void SendLiveViewStatus(std::uint32_t requestId) LB_REQUIRES(g_sdkLock);
// The payload of that reply in `status`; false when there would be no reply.
bool LiveViewStatus(ZnLuaTETable& status) LB_REQUIRES(g_sdkLock);

// "doCapture" without a connected camera: one "error" notification (id 0, no capture id)
// that says whether none was connected or the connected one went.
void ReportCaptureWithoutCamera() LB_REQUIRES(g_sdkLock);

// The number under "device_id", truncated toward zero to 32 bits. Not a table, no such key,
// not a number, or a number outside the 32-bit range: 0, which names no module.
int GetDeviceIdFromParams(const ZnLuaTE* params);
// The same reading of one value.
int DeviceIdOfValue(const ZnLuaTE* value);

// "listDevices": adds every camera of every module ("deviceAdded" for the new ones) and then
// answers "ok" {devices = {[1] = {device_id, name}, ...}} with every known camera, in module
// order and camera id order within a module. In two parts for the worker: each module's on its
// own lane, and the answer.
void HandleListDevices(std::uint32_t requestId, const ZnLuaTE* params) LB_REQUIRES(g_sdkLock);
void AddListedCameras(CNikonModule& module) LB_REQUIRES(g_sdkLock);
void SendDeviceList(std::uint32_t requestId) LB_REQUIRES(g_sdkLock);

// "connectDevice": switches off the live view of the camera it replaces, connects the camera
// named by "device_id" and replies "ok" (request id not 0), then sends
// "cameraSettingsChanged"; or replies error -1 when the camera is unknown or refuses. With
// "keep_connected" (any value but nil or 0) the cameras connected before stay connected, and
// the new one becomes the current camera; without it the new one is connected alone. In parts
// for the worker: the cameras let go on another module are let go on that module's lane
// (LetGoForConnect, on every other module), the rest runs on the lane of the module of
// "device_id".
void HandleConnectDevice(std::uint32_t requestId, const ZnLuaTE* params) LB_REQUIRES(g_sdkLock);
void LetGoForConnect(CNikonModule& module, std::uint32_t requestId, const ZnLuaTE* params)
    LB_REQUIRES(g_sdkLock);
// Whether LetGoForConnect may find anything to do on `module`: a camera in live view, or a
// connected one besides its current camera.
bool HasCamerasToLetGo(const CNikonModule& module) LB_REQUIRES(g_sdkLock);
void ConnectOnDeviceModule(std::uint32_t requestId, const ZnLuaTE* params) LB_REQUIRES(g_sdkLock);
// The module part (device id & 0xFF00) of the "device_id" in `params`.
std::uint32_t DeviceModuleOf(const ZnLuaTE* params);

// "disconnectDevice": switches off the live view of the current camera of the current module
// and releases it; no reply. With several connected, the one "device_id" names instead.
void HandleDisconnectDevice(std::uint32_t requestId, const ZnLuaTE* params) LB_REQUIRES(g_sdkLock);

// The camera a request is about: while several are connected, the one its "device_id" names
// (null when that is none of them); without several, or without a "device_id", the current
// camera.
CCamera* AddressedCamera(const ZnLuaTE* params) LB_REQUIRES(g_sdkLock);
// The module index of AddressedCamera's module; 0 when it has none.
std::uint32_t AddressedModuleOf(const ZnLuaTE* params) LB_REQUIRES(g_sdkLock);
// Whether the request names one camera of several connected (so errors name it too).
bool NamesOneOfSeveral(const ZnLuaTE* params) LB_REQUIRES(g_sdkLock);

// "doRigCapture": the cameras under "device_ids" (a list; without one, every connected
// camera), in the order given. The worker splits them by module (RigCamerasByModule) and runs
// ReleaseRigCameras on each module's lane; the last part answers "ok" {rig_shot}. A camera
// that is not connected, or cannot take a release, is reported with rigReleaseEnded at once.
std::vector<std::uint32_t> RigCameras(const ZnLuaTE* params) LB_REQUIRES(g_sdkLock);
void ReleaseRigCameras(const std::vector<std::uint32_t>& deviceIds, RigTag rig)
    LB_REQUIRES(g_sdkLock);
void SendRigShot(std::uint32_t requestId, std::uint32_t rigShot) LB_REQUIRES(g_sdkLock);

// "updateCameraSetting": changes one setting of the current camera, then answers like
// "getCameraSettings".
void HandleUpdateCameraSetting(std::uint32_t requestId, const ZnLuaTE* params)
    LB_REQUIRES(g_sdkLock);

// "getCameraSettings": "ok" with the settings table, or one of the three 65535 errors.
void SendCameraSettings(std::uint32_t requestId, const ZnLuaTE* params) LB_REQUIRES(g_sdkLock);

// "shutdown": deletes the module manager, if there is one, with its modules (in order) and
// their cameras. The dispatcher stops the heartbeat before, so no tick reaches a deleted
// manager.
void ShutdownCameras() LB_REQUIRES(g_sdkLock);
