#include "app/run.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <deque>
#include <stdexcept>
#include <vector>

#include "app/test_support.h"

namespace brivasto {
namespace {

using testing::kEmptySagaDocument;
using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;

// Answers the file dialog from a script and records what the user would see.
class ScriptedPrompter final : public Prompter {
 public:
  std::deque<std::optional<std::filesystem::path>> answers;  // nullopt: Cancel
  std::vector<std::string> events;
  bool busy = false;

  std::optional<std::filesystem::path> ChooseSagaFile() override {
    events.push_back("choose");
    if (answers.empty()) return std::nullopt;
    std::optional<std::filesystem::path> answer = answers.front();
    answers.pop_front();
    return answer;
  }
  void ShowMessage(std::u16string_view text) override { events.push_back(ToUtf8(text)); }
  void ShowError(std::u16string_view text) override { events.push_back("error " + ToUtf8(text)); }
  void SetBusy(bool value) override {
    busy = value;
    events.push_back(value ? "busy" : "idle");
  }
};

// Steps that record how they were called.
struct RecordedSteps {
  std::vector<std::string>* events;
  TransferSteps Steps() const {
    TransferSteps steps;
    steps.exportSteps = [events = events](const SagaDocument&, const RunContext& context) {
      events->push_back("export to " + context.exchangeDirectory.string());
      return CatalogueCodes{};
    };
    steps.importTimetable = [events = events](const SagaDocument&,
                                              const std::filesystem::path& file,
                                              const RunContext&) {
      events->push_back("import into " + file.string());
      return ImportedCounts{};
    };
    return steps;
  }
};

struct ParametersCase {
  std::vector<std::string> parameters;
  std::int32_t batchMode;
  std::optional<Direction> direction;
};

TEST(BatchModeFor, TwoParametersAndTheFirstWordInAnyCase) {
  const ParametersCase cases[] = {
      {{}, 0, std::nullopt},
      {{"exportar"}, 0, std::nullopt},
      {{"exportar", "x", "y"}, 0, std::nullopt},
      {{"EXPORTAR", "x"}, 2, Direction::kExport},
      {{"Importar", ""}, 2, Direction::kImport},
      {{"importar ", "x"}, 2, std::nullopt},
      {{"exportarx", "x"}, 2, std::nullopt},
      {{"", ""}, 2, std::nullopt},
  };
  for (const ParametersCase& c : cases) {
    const std::string shown = ::testing::PrintToString(c.parameters);
    EXPECT_EQ(BatchModeFor(c.parameters), c.batchMode) << shown;
    EXPECT_EQ(BatchDirectionFor(c.parameters), c.direction) << shown;
  }
}

class RunFrameTest : public ::testing::Test {
 protected:
  RunFrameTest() {
    WriteFile(document_, kEmptySagaDocument);
    context_.exchangeDirectory = folder_ / "zwork";
  }

  TempDir folder_;
  std::filesystem::path document_ = folder_ / "centro.xml";
  RunContext context_;
  ScriptedPrompter prompter_;
};

// A missing file: the message, and the status Talvenor reads in batch mode.
TEST_F(RunFrameTest, MissingFileSaysSoAndSetsTheBatchStatus) {
  struct Case {
    Direction direction;
    std::int32_t batchMode;
    std::int32_t status;
  };
  const Case cases[] = {{Direction::kExport, 2, -1},
                        {Direction::kImport, 2, 0},
                        {Direction::kExport, 0, 0},
                        {Direction::kImport, 0, 0}};
  std::filesystem::create_directory(folder_ / "carpeta.xml");
  std::filesystem::create_symlink(folder_ / "nada.xml", folder_ / "roto.xml");
  const std::optional<std::filesystem::path> answers[] = {
      std::nullopt,             // the first dialog cancelled: empty name
      folder_ / "nada.xml",     // a name typed for a file that is not there
      folder_ / "carpeta.xml",  // a folder is no file
      folder_ / "roto.xml",     // a link to nothing
  };
  for (const Case& c : cases) {
    for (const auto& answer : answers) {
      SCOPED_TRACE(::testing::Message()
                   << "direction " << static_cast<int>(c.direction) << ", batch " << c.batchMode
                   << ", answer " << (answer ? answer->string() : "Cancel"));
      ScriptedPrompter prompter;
      prompter.answers = {answer};
      std::vector<std::string> stepsRun;
      RunFrame frame(prompter, context_, c.batchMode, RecordedSteps{&stepsRun}.Steps());
      const RunOutcome outcome = frame.Run(c.direction);
      EXPECT_FALSE(outcome.completed);
      EXPECT_FALSE(outcome.disableRunButtons);
      EXPECT_EQ(outcome.closeWindow, c.batchMode == 2);
      EXPECT_EQ(frame.TransferStatus(), c.status);
      EXPECT_EQ(prompter.events, (std::vector<std::string>{"choose", "No existe archivo"}));
      EXPECT_TRUE(stepsRun.empty());
    }
  }
}

TEST_F(RunFrameTest, CompletedRunsFollowTheFrame) {
  struct Case {
    Direction direction;
    std::int32_t batchMode;
    std::vector<std::string> events;
  };
  const std::string exportLine = "export to " + context_.exchangeDirectory.string();
  const std::string importLine = "import into " + document_.string();
  const Case cases[] = {
      {Direction::kExport, 2, {"choose", "busy", exportLine, "idle", "Proceso finalizado"}},
      {Direction::kExport, 0, {"choose", "busy", exportLine, "idle", "Proceso finalizado"}},
      {Direction::kImport, 2, {"choose", importLine, "Proceso finalizado"}},
      {Direction::kImport, 0, {"choose", importLine, "Proceso finalizado"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message()
                 << "direction " << static_cast<int>(c.direction) << ", batch " << c.batchMode);
    ScriptedPrompter prompter;
    prompter.answers = {document_};
    RunFrame frame(prompter, context_, c.batchMode, RecordedSteps{&prompter.events}.Steps());
    const RunOutcome outcome = frame.Run(c.direction);
    EXPECT_TRUE(outcome.completed);
    EXPECT_TRUE(outcome.disableRunButtons);
    EXPECT_EQ(outcome.closeWindow, c.batchMode == 2);
    EXPECT_EQ(frame.TransferStatus(), 1);
    EXPECT_EQ(frame.SagaFileName(), document_);
    EXPECT_EQ(prompter.events, c.events);
  }
}

// After "No existe archivo" the file may appear; a cancelled dialog then
// runs on the name chosen before, for either direction.
TEST_F(RunFrameTest, CancelKeepsThePreviousChoice) {
  const std::filesystem::path later = folder_ / "luego.xml";
  prompter_.answers = {later, std::nullopt, std::nullopt};
  std::vector<std::string> stepsRun;
  RunFrame frame(prompter_, context_, 2, RecordedSteps{&stepsRun}.Steps());

  EXPECT_FALSE(frame.RunExport().completed);
  EXPECT_EQ(frame.TransferStatus(), -1);
  EXPECT_EQ(frame.SagaFileName(), later);

  WriteFile(later, kEmptySagaDocument);
  EXPECT_TRUE(frame.RunImport().completed);
  EXPECT_TRUE(frame.RunExport().completed);
  EXPECT_EQ(frame.SagaFileName(), later);
  EXPECT_EQ(stepsRun,
            (std::vector<std::string>{"import into " + later.string(),
                                      "export to " + context_.exchangeDirectory.string()}));
}

// An error ends the run where it happens: it reaches the caller, the
// cursor is the default one again, and the status keeps its value.
TEST_F(RunFrameTest, ErrorsEndTheRunAndRestoreTheCursor) {
  const std::filesystem::path broken = folder_ / "roto.xml";
  WriteFile(broken, "<document><subjects></document>");
  TransferSteps failing;
  failing.exportSteps = [](const SagaDocument&, const RunContext&) -> CatalogueCodes {
    throw TransferError("Tabla ASIGNOMT: no se puede crear");
  };
  failing.importTimetable = [](const SagaDocument&, const std::filesystem::path&,
                               const RunContext&) -> ImportedCounts {
    throw std::runtime_error("sin memoria");
  };
  // A missing file first, so that the status has a value to keep.
  prompter_.answers = {folder_ / "nada.xml", document_, std::nullopt, broken};
  RunFrame frame(prompter_, context_, 2, failing);
  frame.RunExport();
  ASSERT_EQ(frame.TransferStatus(), -1);

  EXPECT_THROW(frame.RunExport(), TransferError);
  EXPECT_FALSE(prompter_.busy);
  EXPECT_THROW(frame.RunImport(), std::runtime_error);
  try {
    frame.RunExport();  // a file that is not well-formed fails at the load
    ADD_FAILURE() << "no error for " << broken;
  } catch (const TransferError& error) {
    EXPECT_NE(std::string(error.what()).find("roto.xml"), std::string::npos) << error.what();
  }
  EXPECT_EQ(frame.TransferStatus(), -1);
  EXPECT_EQ(prompter_.events, (std::vector<std::string>{"choose", "No existe archivo", "choose",
                                                        "busy", "idle", "choose", "choose"}));
}

TEST_F(RunFrameTest, ClosingWritesTheStatusOnlyInBatchMode) {
  const std::filesystem::path statusFile = StatusFilePath(folder_.Path());
  EXPECT_EQ(statusFile, folder_ / "Talvenor.ini");
  RunFrame interactive(prompter_, context_, 0);
  interactive.WriteStatusOnClose(statusFile);
  EXPECT_FALSE(std::filesystem::exists(statusFile));
  RunFrame batch(prompter_, context_, 2);
  batch.WriteStatusOnClose(statusFile);
  EXPECT_EQ(ReadFile(statusFile), "[Transformadores]\r\nTransformado=0\r\n");
}

struct ProfileCase {
  const char* what;
  std::string before;
  std::string after;
};

TEST(WithProfileString, SetsOneKeyAndKeepsEveryOtherByte) {
  const ProfileCase cases[] = {
      {"new file", "", "[Transformadores]\r\nTransformado=1\r\n"},
      {"value replaced in its line, the rest kept",
       "; Talvenor\r\n[General]\r\nRuta=C:\\HOR\r\n\r\n[Transformadores]\r\nOtro=5\r\n"
       "Transformado=0\r\nMas=2\r\n\r\n[Final]\r\nA=b",
       "; Talvenor\r\n[General]\r\nRuta=C:\\HOR\r\n\r\n[Transformadores]\r\nOtro=5\r\n"
       "Transformado=1\r\nMas=2\r\n\r\n[Final]\r\nA=b"},
      {"names in any letter case, blanks around them", "[ transformadores ]\n\tTRANSFORMADO = -1\n",
       "[ transformadores ]\n\tTRANSFORMADO =1\n"},
      {"key without a value", "[Transformadores]\nTransformado\nX=1\n",
       "[Transformadores]\nTransformado=1\nX=1\n"},
      {"key added after the section's last entry",
       "[Transformadores]\r\nOtro=5\r\n; nota\r\n\r\n[Final]\r\nA=b\r\n",
       "[Transformadores]\r\nOtro=5\r\n; nota\r\nTransformado=1\r\n\r\n[Final]\r\nA=b\r\n"},
      {"key added to an empty last section without a line end", "[A]\nx=1\n[Transformadores]",
       "[A]\nx=1\n[Transformadores]\nTransformado=1\n"},
      {"section appended, LF kept", "[A]\nx=1\n", "[A]\nx=1\n[Transformadores]\nTransformado=1\n"},
      {"section appended after a last line without a line end", "[A]\r\nx=1",
       "[A]\r\nx=1\r\n[Transformadores]\r\nTransformado=1\r\n"},
      {"only the first section of the name, only its key",
       "[Otra]\nTransformado=9\n[Transformadores]\nTransformado=0\n[Transformadores]\n"
       "Transformado=0\n",
       "[Otra]\nTransformado=9\n[Transformadores]\nTransformado=1\n[Transformadores]\n"
       "Transformado=0\n"},
      {"similar names are other names",
       "[Transformadores2]\nTransformado=0\n[Transformadores]\nTransformados=3\n;Transformado=4\n",
       "[Transformadores2]\nTransformado=0\n[Transformadores]\nTransformados=3\n;Transformado=4\n"
       "Transformado=1\n"},
      {"UTF-8 byte order mark", "\xEF\xBB\xBF[Transformadores]\r\nTransformado=0\r\n",
       "\xEF\xBB\xBF[Transformadores]\r\nTransformado=1\r\n"},
  };
  for (const ProfileCase& c : cases) {
    EXPECT_EQ(WithProfileString(c.before, "Transformadores", "Transformado", "1"), c.after)
        << c.what;
  }
}

TEST(WriteTransferStatus, ReplacesTheFileAndKeepsItsPermissions) {
  TempDir folder;
  const std::filesystem::path file = folder / "Talvenor.ini";
  WriteFile(file, "[General]\r\nA=1\r\n[Transformadores]\r\nTransformado=1\r\n");
  ASSERT_EQ(::chmod(file.c_str(), 0640), 0);
  WriteTransferStatus(file, -1);
  EXPECT_EQ(ReadFile(file), "[General]\r\nA=1\r\n[Transformadores]\r\nTransformado=-1\r\n");
  EXPECT_EQ(std::filesystem::status(file).permissions(), std::filesystem::perms::owner_read |
                                                             std::filesystem::perms::owner_write |
                                                             std::filesystem::perms::group_read);
  // Nothing else is left in the folder.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder.Path()),
                          std::filesystem::directory_iterator()),
            1);

  // A link stays a link; the file it names gets the key.
  const std::filesystem::path link = folder / "enlace.ini";
  std::filesystem::create_symlink(file, link);
  WriteTransferStatus(link, 1);
  EXPECT_TRUE(std::filesystem::is_symlink(link));
  EXPECT_EQ(ReadFile(file), "[General]\r\nA=1\r\n[Transformadores]\r\nTransformado=1\r\n");
}

TEST(WriteTransferStatus, FailureNamesTheFileAndSaysWhyInSpanish) {
  TempDir folder;
  std::filesystem::create_directory(folder / "Talvenor.ini");
  struct FailureCase {
    std::filesystem::path file;
    const char* reason;
  };
  const FailureCase cases[] = {
      {folder / "falta" / "Talvenor.ini", "no existe el archivo o el directorio"},
      {folder / "Talvenor.ini", "es un directorio"},
  };
  for (const FailureCase& c : cases) {
    try {
      WriteTransferStatus(c.file, 1);
      ADD_FAILURE() << "no error for " << c.file;
    } catch (const StatusFileError& error) {
      EXPECT_EQ(std::string(error.what()), "Unable to write to " + c.file.string());
      EXPECT_NE(error.Reason().find(c.reason), std::string::npos) << error.Reason();
    }
  }
  EXPECT_TRUE(std::filesystem::is_directory(folder / "Talvenor.ini"));
}

TEST(StatusFileFor, BesideTheProgramUnlessTheEnvironmentNamesAnother) {
  const std::filesystem::path program = "/opt/brivasto/bin";
  struct EnvironmentCase {
    const char* value;  // nullptr: not set
    std::filesystem::path want;
  };
  const EnvironmentCase cases[] = {
      {nullptr, program / "Talvenor.ini"},
      {"", program / "Talvenor.ini"},
      {"/home/jefatura/.talvenor/Talvenor.ini", "/home/jefatura/.talvenor/Talvenor.ini"},
  };
  const char* saved = std::getenv("BRIVASTO_STATUS_FILE");
  const std::string before = saved != nullptr ? saved : "";
  for (const EnvironmentCase& c : cases) {
    if (c.value == nullptr) {
      ::unsetenv("BRIVASTO_STATUS_FILE");
    } else {
      ::setenv("BRIVASTO_STATUS_FILE", c.value, 1);
    }
    EXPECT_EQ(StatusFileFor(program), c.want) << (c.value ? c.value : "(not set)");
  }
  if (saved != nullptr) {
    ::setenv("BRIVASTO_STATUS_FILE", before.c_str(), 1);
  } else {
    ::unsetenv("BRIVASTO_STATUS_FILE");
  }
}

}  // namespace
}  // namespace brivasto
