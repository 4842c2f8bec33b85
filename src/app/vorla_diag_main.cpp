#include <vector>

#include "diag/diag_collector.h"
#include "platform/process.h"

int main(int argc, char** argv) {
  std::vector<std::u16string> args = vorla::platform::ProgramArguments(argc, argv);
  if (!args.empty()) args.erase(args.begin());  // the program's own name
  vorla::DiagCollector collector;
  return vorla::RunDiag(collector, args);
}
