#include "bridge/heartbeat.h"

#include "bridge/dispatcher.h"
#include "camera/modules/module_manager.h"
#include "camera/sdk_lock.h"

bool RunHeartbeatTick() {
  // The nested tick must not wait on a lock its own thread holds; the tick in progress
  // below it does the idle work anyway.
  if (g_sdkLock.heldByThisThread()) return false;
  CSdkLockGuard lock(g_sdkLock);
  if (g_shutdownRequested.load() == 1) return false;
  CNikonModuleManager* manager = CNikonModuleManager::existingInstance();
  if (!manager) return false;
  manager->pumpIdle();
  return true;
}
