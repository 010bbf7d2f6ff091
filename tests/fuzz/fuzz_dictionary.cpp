// Writes fuzz_config's dictionary: the entries of the file given as the first
// argument, then the section key of every block kind, so that a new kind is
// in the dictionary without anyone listing it.
#include <fstream>
#include <iostream>

#include "oska/tf_utils.hpp"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: " << argv[0] << " KEYS.dict > config.dict\n";
    return 2;
  }
  std::ifstream keys(argv[1]);
  if (!keys) {
    std::cerr << "cannot read " << argv[1] << "\n";
    return 1;
  }
  std::cout << keys.rdbuf() << "# Section keys, one per block kind.\n";
  oska::AllBlocks::forEach([](auto tag) {
    std::cout << '"' << oska::BlockTraits<typename decltype(tag)::type>::kSection << "\"\n";
  });
  return 0;
}
