-- The functions the host calls on the tether plug-in; all of them live in LensBridgeTask.
local LensBridgeTask = require "LensBridgeTask"

return {
	init = LensBridgeTask.init,
	shutdown = LensBridgeTask.shutdown,
	setCallback = LensBridgeTask.setCallback,
	queryDevices = LensBridgeTask.queryDevices,
	connectDevice = LensBridgeTask.connectDevice,
	disconnectDevice = LensBridgeTask.disconnectDevice,
	enableLogging = LensBridgeTask.enableLogging,
	getCameraSettings = LensBridgeTask.getCameraSettings,
	setCameraSettings = LensBridgeTask.setCameraSettings,
	setManualFocusTimeGap = LensBridgeTask.setManualFocusTimeGap,
	doCapture = LensBridgeTask.doCapture,
	toggleLiveView = LensBridgeTask.toggleLiveView,
	setCameraFocus = LensBridgeTask.setCameraFocus,
	isLiveViewOn = LensBridgeTask.isLiveViewOn,
	doAutoFocus = LensBridgeTask.doAutoFocus,
	showLiveViewWindow = LensBridgeTask.showLiveViewWindow,
	hideLiveViewWindow = LensBridgeTask.hideLiveViewWindow,
	closeLiveViewWindow = LensBridgeTask.closeLiveViewWindow,
	pollForMessages = LensBridgeTask.pollForMessages,
	startDownload = LensBridgeTask.startDownload,
}
