// The messages the process sends to the host on its own (request id 0), the error reply and
// the two status replies that are built outside the dispatcher, plus the device-id reader.
//
// Every sender queues through QueueMessageToHost, which clones the payload; each sender builds
// its table and destroys it again. Senders run on whichever thread does the work and always
// with the SDK lock held: the dispatcher's handlers on the I/O thread, SendLiveViewImage on the
// main thread's idle tick, the download senders inside SDK callbacks. The capture counter they
// advance lives in the module manager and is guarded by the same lock.
#pragma once

#include <cstdint>
#include <string>

class ZnLuaTE;

// "error" with "error_code" and, when description is not null, "error_description".
void SendErrorMessage(std::uint32_t requestId, int errorCode, const char* description);

// "doAutoFocus": replies "ok" {status = "AutoFocusOn"/"AutoFocusOff"} with the state before
// the change, then toggles the current camera's contrast auto-focus. No current module or
// camera: no reply.
void DoAutoFocus(std::uint32_t requestId);

// "isLiveViewOn": replies "ok" {status = "liveViewOn"/"liveViewOff"}. No current module: no
// reply.
void SendLiveViewStatus(std::uint32_t requestId);

// One "liveViewImage" {image, size} from the current camera while its live view is on; a
// failed frame is skipped silently.
void SendLiveViewImage();

// "objectWasAdded" for a new file; returns the capture id (1, 2, 3 ... for the process's life).
int SendObjectWasAdded(const std::string& fileName, int fileSize, bool hasSidecar);

// "fileDownloadComplete" with the id, the path and the download stopwatch's milliseconds.
void SendFileDownloadComplete(int captureId, const std::string& filePath);

// The number under "device_id", truncated toward zero to 32 bits. Not a table, no such key,
// not a number, or a number outside the 32-bit range: 0, which names no module.
int GetDeviceIdFromParams(const ZnLuaTE* params);
