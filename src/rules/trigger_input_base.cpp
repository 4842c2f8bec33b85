#include "rules/trigger_input_base.h"

#include "rules/trigger_input_app.h"
#include "rules/trigger_input_ext.h"
#include "rules/trigger_input_keyboard.h"
#include "rules/trigger_input_schedule.h"

namespace vorla {

std::shared_ptr<TriggerInputBase> CreateTriggerInput(int32_t type) {
  switch (type) {
    case kTriggerInputTypeApp: return std::make_shared<TriggerInputApp>();
    case kTriggerInputTypeKeyBoard: return std::make_shared<TriggerInputKeyBoard>();
    case kTriggerInputTypeExt: return std::make_shared<TriggerInputExt>();
    case kTriggerInputTypeSchedule: return std::make_shared<TriggerInputSchedule>();
    case kTriggerInputTypeAppEx: return std::make_shared<TriggerInputAppEx>();
    default: return nullptr;
  }
}

}  // namespace vorla
