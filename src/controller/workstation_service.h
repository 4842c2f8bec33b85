// The workstation's concrete service: the framework with the controller inside. Run is the
// controller's loop; the stop control ends it within one wait, and OnStop shuts the controller
// down before the socket layer goes.
#pragma once

#include "controller/workstation_controller.h"
#include "service/nt_service.h"

namespace vorla {

class WorkStationService : public CNTService {
 public:
  WorkStationService();
  ~WorkStationService() override;

  // Starts the network socket layer; a failure is logged and fails the start.
  bool OnInit() override;
  void Run() override;
  void OnStop() override;

  WorkstationController& controller() { return controller_; }

 private:
  WorkstationController controller_;
};

}  // namespace vorla
