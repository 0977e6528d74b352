#pragma once

#include <string>

#include "platform/machine/services.h"

// Service actions by display name: each waits until the service has settled in the state it
// aims at, polling every 100 ms and processing window messages in between. The explanation of
// the last failure stays for ServiceErrorText.

bool ServiceStart(const std::string& displayName);
// Stops the service's active dependents first; refuses as a whole when one of them does not
// accept the stop.
bool ServiceStop(const std::string& displayName);
bool ServicePause(const std::string& displayName);
bool ServiceResume(const std::string& displayName);

// Whether the last stop ended the service (or one that depends on it) only by killing it, as it
// did not heed the stop in time.
bool ServiceStopWasKill();

// The last failure in words: the system text of its code, else the dependency message, else
// "サービスの内部エラーが発生しました。".
std::string ServiceErrorText();

// Opens the manager and the service of that display name once it is in no pending state;
// false when it cannot be opened or settles in no stopped, running or paused state.
bool OpenServiceByDisplayName(const std::string& displayName,
                              platform::UniqueServiceHandle& manager,
                              platform::UniqueServiceHandle& service);

// Sends the stop and waits while it is pending; true when the service stopped.
bool StopOneService(platform::SC_HANDLE service);

// Stops the active services that depend on this one, in the order the manager gives.
bool StopDependentServices(platform::SC_HANDLE manager, platform::SC_HANDLE service);
