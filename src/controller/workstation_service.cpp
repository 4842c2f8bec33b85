#include "controller/workstation_service.h"

#include "common/logging.h"

namespace vorla {

WorkStationService::WorkStationService() : CNTService(u"VorlaWS", u"Vorla Workstation", 1, 0) {}

WorkStationService::~WorkStationService() = default;

bool WorkStationService::OnInit() {
  return LogIfFailed(platform::StartSocketLayer(), kStatusInternalError,
                     u"WorkStationService: Network sublayer initialisation (WSAStartup) failed.", 3,
                     EVENTLOG_WARNING_TYPE);
}

void WorkStationService::Run() { controller_.RunLoop(&stop_requested_); }

void WorkStationService::OnStop() {
  controller_.Shutdown();
  platform::StopSocketLayer();
}

}  // namespace vorla
