-- Turns camera settings as lensbridge.exe sends them into what the host displays.
local LOC = LOC or ZSTR

local LensBridgeUtils = {}

local aeMap

-- The exposure mode number as its localised name.
function LensBridgeUtils.postProcess_aeMode(value)
	if not aeMap then
		aeMap = {
			[0] = LOC "$$$/ZnTether/Nikon/AEMode/Program=Program",
			[1] = LOC "$$$/ZnTether/Nikon/AEMode/AperturePriority=Aperture Priority",
			[2] = LOC "$$$/ZnTether/Nikon/AEMode/ShutterPriority=Speed Priority",
			[3] = LOC "$$$/ZnTether/Nikon/AEMode/Manual=Manual",
		}
	end
	return aeMap[value] or LOC "$$$/ZnTether/Nikon/AEMode/Unknown=Unknown"
end

-- Replaces every setting that has a postProcess_<key> function by that function's result,
-- keeping the old value when the function gives nothing. Returns the same table.
function LensBridgeUtils.postProcessCameraSettings(settings)
	local keys = {}
	for key in pairs(settings) do
		keys[#keys + 1] = key
	end
	for _, key in ipairs(keys) do
		local process = LensBridgeUtils["postProcess_" .. tostring(key)]
		if type(process) == "function" then
			local result = process(settings[key], settings)
			if result then
				settings[key] = result
			end
		end
	end
	return settings
end

return LensBridgeUtils
