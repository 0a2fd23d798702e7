// resgen [--rc <out.rc>] <table.tsv> <RESOURCE_NAME> <out.cpp>: compiles a message table into a
// C++ file that embeds it as a named RCDATA resource. With --rc (Windows builds) the table goes
// to <out>.bin beside a resource script for windres instead, and the C++ file only keeps the
// registration function. A faulty table fails the build, naming file and line.
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <system_error>

#include "ResGen.h"

namespace {

// Written aside and renamed, so a failed run never leaves a half file that looks current.
// The rename replaces an earlier output on every system (std::rename does not on Windows).
bool WriteOutput(const std::string& name, const std::string& content) {
  const std::string tmpName = name + ".tmp";
  {
    std::ofstream out(tmpName, std::ios::binary | std::ios::trunc);
    out << content;
    if (!out.flush()) {
      std::cerr << tmpName << ": error: cannot write the file\n";
      return false;
    }
  }
  std::error_code ec;
  std::filesystem::rename(tmpName, name, ec);
  if (ec) {
    std::cerr << name << ": error: cannot write the file (" << ec.message() << ")\n";
    std::filesystem::remove(tmpName, ec);
    return false;
  }
  return true;
}

} // namespace

int main(int argc, char** argv) {
  std::string rcName;
  if (argc == 6 && std::string(argv[1]) == "--rc") {
    rcName = argv[2];
    argv += 2;
    argc -= 2;
  }
  if (argc != 4 || (!rcName.empty() && rcName.size() < 4)) {
    std::cerr << "usage: resgen [--rc <out.rc>] <table.tsv> <RESOURCE_NAME> <out.cpp>\n";
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
    std::vector<unsigned char> table = resgen::CompileTable(entries);
    const std::string shortName = tsvName.substr(tsvName.find_last_of("/\\") + 1);
    if (rcName.empty())
      return WriteOutput(outName, resgen::GenerateSource(table, resourceName, shortName)) ? 0 : 1;
    std::string binName = std::filesystem::path(rcName).replace_extension(".bin").string();
    std::string binPath = std::filesystem::absolute(binName).string();
    bool written =
        WriteOutput(binName, std::string(table.begin(), table.end())) &&
        WriteOutput(rcName, resgen::GenerateResourceScript(resourceName, binPath, shortName)) &&
        WriteOutput(outName, resgen::GenerateStubSource(resourceName, shortName));
    return written ? 0 : 1;
  } catch (const resgen::EResgenError& e) {
    std::cerr << e.FileName << ":" << e.Line << ": error: " << e.Reason << "\n";
    return 1;
  } catch (const std::exception& e) {
    std::cerr << tsvName << ": error: " << e.what() << "\n";
    return 1;
  }
}
