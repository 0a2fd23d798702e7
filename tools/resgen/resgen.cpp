// resgen <table.tsv> <RESOURCE_NAME> <out.cpp>: compiles a message table into a C++ file that
// embeds it as a named RCDATA resource. A faulty table fails the build, naming file and line.
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>

#include "ResGen.h"

int main(int argc, char** argv) {
  if (argc != 4) {
    std::cerr << "usage: resgen <table.tsv> <RESOURCE_NAME> <out.cpp>\n";
    return 2;
  }
  const std::string tsvName = argv[1], resourceName = argv[2], outName = argv[3];
  if (!resgen::ValidResourceName(resourceName)) {
    std::cerr << "resgen: resource name '" << resourceName << "' must be letters, digits and _\n";
    return 2;
  }
  std::ifstream in(tsvName, std::ios::binary);
  if (!in) {
    std::cerr << tsvName << ": error: cannot read the file\n";
    return 1;
  }
  std::ostringstream source;
  source << in.rdbuf();
  try {
    std::vector<resgen::TResEntry> entries = resgen::ParseTable(source.str(), tsvName);
    std::string generated = resgen::GenerateSource(resgen::CompileTable(entries), resourceName,
                                                   tsvName.substr(tsvName.find_last_of('/') + 1));
    // Written aside and renamed, so a failed run never leaves a half file that looks current.
    const std::string tmpName = outName + ".tmp";
    {
      std::ofstream out(tmpName, std::ios::binary | std::ios::trunc);
      out << generated;
      if (!out.flush()) {
        std::cerr << tmpName << ": error: cannot write the file\n";
        return 1;
      }
    }
    if (std::rename(tmpName.c_str(), outName.c_str()) != 0) {
      std::cerr << outName << ": error: cannot write the file\n";
      std::remove(tmpName.c_str());
      return 1;
    }
  } catch (const resgen::EResgenError& e) {
    std::cerr << e.FileName << ":" << e.Line << ": error: " << e.Reason << "\n";
    return 1;
  } catch (const std::exception& e) {
    std::cerr << tsvName << ": error: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
