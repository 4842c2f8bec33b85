// The workstation's concrete service. Until the controller is part of it, its body is the
// framework's own waiting Run.
#pragma once

#include "service/nt_service.h"

namespace vorla {

class WorkStationService : public CNTService {
 public:
  WorkStationService();
  ~WorkStationService() override;

  // Starts the network socket layer; a failure is logged and fails the start.
  bool OnInit() override;
  void OnStop() override;
};

}  // namespace vorla
