#pragma once
// What the port service says at each point of the service host.
#include <string>

#include "platform/WinTypes.h"
#include "common/servicehost/ServiceHost.h"

void ReportServiceLine(const std::wstring& serviceName, svchost::HostEvent event, DWORD code);
