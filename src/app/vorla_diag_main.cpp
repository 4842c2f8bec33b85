#include <vector>

#include "common/text.h"
#include "diag/diag_collector.h"

int main(int argc, char** argv) {
  std::vector<std::u16string> args;
  for (int i = 1; i < argc; ++i) args.push_back(vorla::FromUtf8(argv[i]));
  vorla::DiagCollector collector;
  return vorla::RunDiag(collector, args);
}
