// Machine-readable runs: --json events against the simulator's own counts, the schema
// document, the refusals before anything is sent, the wire trace of a failed upload, and report
// records from concurrent writers.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <thread>

#include "CliHash.h"
#include "CliJson.h"
#include "CliReport.h"
#include "CliRig.h"
#include "support/Text.h"

using support::Lines;
using support::ReadLines;
using support::ReadWholeFile;
using support::SomeBlocks;
using support::TTempDir;
using ::testing::HasSubstr;

namespace {

// Every line parsed; a line that is not one JSON object with "v": 1 fails the test.
std::vector<nlohmann::json> JsonLines(const std::string& text) {
  std::vector<nlohmann::json> objects;
  for (const std::string& line : Lines(text)) {
    nlohmann::json object = nlohmann::json::parse(line, nullptr, false);
    EXPECT_TRUE(object.is_object()) << line;
    if (!object.is_object()) continue;
    EXPECT_EQ(object.value("v", 0), 1) << line;
    objects.push_back(object);
  }
  return objects;
}

std::vector<nlohmann::json> Events(const std::vector<nlohmann::json>& all, const char* name) {
  std::vector<nlohmann::json> found;
  for (const nlohmann::json& o : all)
    if (o.value("event", "") == name) found.push_back(o);
  return found;
}

} // namespace

TEST(CliJson, ASeededFaultyRunCountsWhatTheSimulatorCounted) {
  TTempDir dir;
  // Rejections, doubled acceptances and noise around the answers, from block 0 on.
  TSimScenario faulty{
      .Seed = 16, .RejectRandom = 0.3, .TwiceRandom = 0.2, .NoiseBefore = 0.15, .NoiseAfter = 0.15};
  TRunningSim sim(faulty);
  const std::string report = dir.File("runs.jsonl");
  TCliRun run = RunCliCaptured({"--json", "-v", "--report", report, "--station-id", "line 2", "-p",
                                sim.Path(), "-b", "115200", FirmwareFile(dir, SomeBlocks(30))});
  ASSERT_EQ(run.Status, 0) << run.Err;
  // The log lines went to standard error; standard output is JSON only.
  EXPECT_THAT(run.Err, HasSubstr("Прошивка обновлена успешно!"));
  std::vector<nlohmann::json> all = JsonLines(run.Out);
  ASSERT_EQ(all.front()["event"], "start");
  EXPECT_EQ(all.front()["blocks"], 30);
  ASSERT_EQ(all.back()["event"], "result");
  const nlohmann::json& result = all.back();

  const uint64_t seen = sim.Sim.BlocksSeen(), accepted = sim.Sim.AcceptedBlocks();
  EXPECT_EQ(result["sends"], seen);
  EXPECT_EQ(result["accepted"], accepted);
  EXPECT_EQ(result["rejects"], seen - accepted);
  EXPECT_GT(seen, accepted) << "the seed must cause resends";
  // Each reply event is the verdict byte the simulator put on the line, in order.
  std::string verdicts;
  for (const nlohmann::json& reply : Events(all, "reply"))
    verdicts += static_cast<char>(std::stoi(reply["byte"].get<std::string>(), nullptr, 16));
  EXPECT_EQ(verdicts, sim.Sim.Verdicts());
  EXPECT_EQ(Events(all, "send").size(), seen);

  // -v names each resend with its reply byte.
  const nlohmann::json firstReject = [&] {
    for (const nlohmann::json& reply : Events(all, "reply"))
      if (reply["verdict"] == "rejected") return reply;
    return nlohmann::json();
  }();
  ASSERT_TRUE(firstReject.is_object());
  EXPECT_THAT(run.Err, HasSubstr("block " + std::to_string(firstReject["index"].get<int>() + 1) +
                                 " of 30: rejected (0x" + firstReject["byte"].get<std::string>() +
                                 "), sending again, 2 of 4"));

  // The record holds the same counts.
  std::vector<nlohmann::json> records = JsonLines(ReadWholeFile(report));
  ASSERT_EQ(records.size(), 1u);
  for (const char* key : {"sends", "accepted", "rejects", "outcome", "exit"})
    EXPECT_EQ(records[0][key], result[key]) << key;
  EXPECT_EQ(records[0]["station_id"], "line 2");
  EXPECT_EQ(records[0]["sha256"], all.front()["sha256"]);
}

TEST(CliJson, EveryEventAndFieldIsInTheSchemaDocument) {
  const std::string doc = ReadWholeFile(std::string(FWLOAD_SOURCE_DIR) + "/docs/json.md");
  ASSERT_FALSE(doc.empty());
  for (const char* name : CliEventNames)
    EXPECT_THAT(doc, HasSubstr(std::string("### `") + name + "`"));

  // A gang (summary) with one refusing device, and its records: every key is documented.
  TTempDir dir;
  TRunningSim good, refusing(TSimScenario{.Reply = TSimReply::Zero, .After = 1});
  const std::string report = dir.File("runs.jsonl");
  TCliRun run = RunCliCaptured({"--json", "--report", report, "-p", good.Path(), "-p",
                                refusing.Path(), FirmwareFile(dir, SomeBlocks(3))});
  EXPECT_EQ(run.Status, 3) << run.Err;
  std::vector<nlohmann::json> all = JsonLines(run.Out);
  ASSERT_EQ(all.back()["event"], "summary");
  EXPECT_EQ(Events(all, "result").size(), 2u);
  for (const nlohmann::json& records : JsonLines(ReadWholeFile(report)))
    all.push_back(records);
  std::set<std::string> keys;
  for (const nlohmann::json& o : all)
    for (const auto& item : o.items())
      keys.insert(item.key());
  for (const std::string& key : keys)
    EXPECT_THAT(doc, HasSubstr("`" + key + "`")) << "undocumented field " << key;
}

TEST(CliJson, RefusalsComeBeforeAnythingIsSent) {
  EXPECT_EQ(Sha256Hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  TTempDir dir;
  TRunningSim sim;
  const std::string file = FirmwareFile(dir, SomeBlocks(2));
  std::string actual, error;
  uint64_t size = 0;
  ASSERT_TRUE(Sha256File(file, actual, size, error)) << error;
  EXPECT_EQ(actual, Sha256Hex(ReadWholeFile(file)));
  const std::string other(64, 'a');

  TCliRun run = RunCliCaptured({"--json", "--expect-sha256", other, "-p", sim.Path(), file});
  EXPECT_EQ(run.Status, 2);
  EXPECT_EQ(Lines(run.Err).size(), 1u) << run.Err;
  EXPECT_THAT(run.Err, HasSubstr(actual));
  EXPECT_THAT(run.Err, HasSubstr(other));
  EXPECT_EQ(run.Out, "");

  // A report or trace that cannot be written is usage's status, before the port is opened.
  const std::string nowhere = dir.File("missing-folder/x");
  for (const char* option : {"--report", "--report-csv", "--trace"}) {
    run = RunCliCaptured({option, nowhere, "-p", sim.Path(), file});
    EXPECT_EQ(run.Status, 1) << option;
    EXPECT_THAT(run.Err, HasSubstr(nowhere)) << option;
  }
  EXPECT_EQ(sim.Sim.BlocksSeen(), 0u);

  // The right hash, in capitals, lets the upload go.
  std::string upper = actual;
  for (char& c : upper)
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  run = RunCliCaptured({"--expect-sha256", upper, "-p", sim.Path(), file});
  EXPECT_EQ(run.Status, 0) << run.Err;
  EXPECT_EQ(sim.Sim.BlocksSeen(), 2u);
}

TEST(CliJson, TheTraceOfAFailedUploadHoldsTheBytesBothWays) {
  TTempDir dir;
  TRunningSim sim(TSimScenario{.Reply = TSimReply::Zero, .After = 1});
  const std::string trace = dir.File("wire.trc");
  std::vector<std::string> blocks = SomeBlocks(3, 4);
  TCliRun run = RunCliCaptured({"--trace", trace, "-p", sim.Path(), FirmwareFile(dir, blocks)});
  EXPECT_EQ(run.Status, 3) << run.Err;
  // "      time T 00 04 .." per write and read, the time in milliseconds from the start.
  std::vector<std::string> kinds;
  for (const std::string& line : ReadLines(trace)) {
    std::vector<std::string> words = support::Split(line.substr(line.find_first_not_of(' ')), ' ');
    ASSERT_GE(words.size(), 3u) << line;
    EXPECT_EQ(words[0].find_first_not_of("0123456789"), std::string::npos) << line;
    std::string bytes;
    for (size_t i = 2; i < words.size(); ++i)
      bytes += static_cast<char>(std::stoi(words[i], nullptr, 16));
    kinds.push_back(words[1] + (words[1] == "R" ? bytes : std::string()));
    if (words[1] == "T") {
      EXPECT_EQ(bytes.substr(2), blocks[kinds.size() / 2]) << line;
    }
  }
  EXPECT_EQ(kinds, (std::vector<std::string>{"T", "R\x11", "T", std::string("R\0", 2)}));
}

TEST(CliJson, ConcurrentWritersKeepEveryRecordWholeAndOneCsvHeader) {
  TTempDir dir;
  const std::string jsonFile = dir.File("runs.jsonl"), csvFile = dir.File("runs.csv");
  constexpr int Writers = 4, Records = 100;
  std::vector<std::thread> writers;
  for (int w = 0; w < Writers; ++w)
    writers.emplace_back([&, w] {
      // Each writer its own descriptors, as a process of its own has; records larger than a
      // stdio buffer, so that a record written in pieces would interleave.
      TAppendFile json, csv;
      std::string error;
      ASSERT_TRUE(json.Open(jsonFile, error)) << error;
      ASSERT_TRUE(csv.Open(csvFile, error)) << error;
      TRunRecord r;
      r.Station = std::string(9000, static_cast<char>('a' + w));
      for (int i = 0; i < Records; ++i) {
        r.Sends = static_cast<uint64_t>(i);
        EXPECT_TRUE(json.Append(JsonLine(ReportObject(r)), error)) << error;
        EXPECT_TRUE(csv.Append(CsvLine(r), error, CsvHeader())) << error;
      }
    });
  for (std::thread& t : writers)
    t.join();

  std::map<std::string, std::set<uint64_t>> seen;
  for (const nlohmann::json& o : JsonLines(ReadWholeFile(jsonFile)))
    seen[o["station_id"].get<std::string>().substr(0, 1)].insert(o["sends"].get<uint64_t>());
  ASSERT_EQ(seen.size(), size_t{Writers});
  for (const auto& [writer, sends] : seen)
    EXPECT_EQ(sends.size(), size_t{Records}) << writer;

  std::vector<std::string> csv = ReadLines(csvFile);
  ASSERT_EQ(csv.size(), size_t{Writers * Records + 1});
  EXPECT_EQ(csv[0] + "\n", CsvHeader());
  // As many columns as the header has.
  for (size_t i = 1; i < csv.size(); ++i)
    EXPECT_EQ(std::count(csv[i].begin(), csv[i].end(), ','),
              std::count(csv[0].begin(), csv[0].end(), ','))
        << i;
}
