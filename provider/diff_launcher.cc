#include "provider/diff_launcher.h"

#include <cstring>
#include <memory>
#include <utility>

#include "dialogs/logon_dialog.h"
#include "platform/debug_output.h"
#include "platform/file_attributes.h"
#include "platform/path.h"
#include "platform/process.h"
#include "platform/system_factory.h"
#include "settings/property_file_client.h"

namespace tw {

namespace {

constexpr char kProgramSuffix[] = "Program";
constexpr char kCommandLineSuffix[] = "CommandLine";
constexpr char kDefaultUser[] = "DefaultUser";
constexpr char kInstalledMergeTool[] = "VLMerge/VLMerge.exe";

constexpr char kMergeToolTemplate[] =
    "\"[File1]\" \"[File2]\" /project1 [Project1] /project2 [Project2] /user [User]";
constexpr char kDiffToolSuffix[] = " -wl -wr";
constexpr char kPlainTemplate[] = "\"[File1]\" \"[File2]\"";

bool IsMergeTool(const std::string& program) {
  // The rule reads the path as stored: a Windows path names the tool with a
  // backslash, a path of this system with a slash.
  return program.find("\\VLMerge.exe") != std::string::npos ||
         program.find("/VLMerge.exe") != std::string::npos;
}

void ReplaceAll(std::string* text, const std::string& placeholder, const std::string& value) {
  size_t at = 0;
  while ((at = text->find(placeholder, at)) != std::string::npos) {
    text->replace(at, placeholder.size(), value);
    at += value.size();
  }
}

// Whether `argument` is nothing but placeholders.
bool OnlyPlaceholders(std::string argument) {
  for (const char* placeholder : {"[File1]", "[File2]", "[Project1]", "[Project2]", "[User]"}) {
    ReplaceAll(&argument, placeholder, "");
  }
  return argument.empty();
}

// `argument` with each placeholder replaced by its value, in one pass from
// left to right: a value that itself reads like a placeholder (a file named
// "a[Project1].c") stays as it is.
std::string FillPlaceholders(const std::string& argument, const DiffArguments& arguments) {
  const std::pair<const char*, const std::string*> values[] = {
      {"[File1]", &arguments.file1},       {"[File2]", &arguments.file2},
      {"[Project1]", &arguments.project1}, {"[Project2]", &arguments.project2},
      {"[User]", &arguments.user},
  };
  std::string filled;
  size_t at = 0;
  while (at < argument.size()) {
    bool replaced = false;
    for (const auto& [placeholder, value] : values) {
      const size_t length = std::strlen(placeholder);
      if (argument.compare(at, length, placeholder) == 0) {
        filled += *value;
        at += length;
        replaced = true;
        break;
      }
    }
    if (!replaced) filled += argument[at++];
  }
  return filled;
}

}  // namespace

std::string DefaultDiffCommandLine(const char* kind, const std::string& program) {
  if (!IsMergeTool(program)) return kPlainTemplate;
  std::string command_line = kMergeToolTemplate;
  if (std::string(kind) == kDiffKind) command_line += kDiffToolSuffix;
  return command_line;
}

std::vector<std::string> FillDiffCommandLine(const std::string& command_line,
                                             const DiffArguments& arguments) {
  std::vector<std::string> filled;
  for (std::string argument : SplitCommandLine(command_line)) {
    const bool placeholders_only = !argument.empty() && OnlyPlaceholders(argument);
    argument = FillPlaceholders(argument, arguments);
    if (argument.empty() && placeholders_only) continue;
    filled.push_back(std::move(argument));
  }
  return filled;
}

DiffLauncher::DiffLauncher(PropertyFileClient* user_store, std::string install_folder)
    : user_store_(user_store), install_folder_(std::move(install_folder)) {}

DiffProgramSettings DiffLauncher::ReadSettings(const char* kind) {
  DiffProgramSettings settings;
  std::unique_ptr<PropertyFileClient> own;
  PropertyFileClient* store = user_store_;
  if (store == nullptr) {
    own = std::make_unique<PropertyFileClient>(std::string(), kStoreUser);
    if (!own->Connect()) return settings;
    store = own.get();
  }
  std::unique_ptr<PropertyNode> node = store->OpenNode(nullptr, kUserPropertiesNode);
  if (!node) return settings;
  const std::string prefix = kind;
  store->ReadString(node.get(), prefix + kProgramSuffix, &settings.program, false);
  store->ReadString(node.get(), prefix + kCommandLineSuffix, &settings.command_line, false);
  store->ReadString(node.get(), kDefaultUser, &settings.default_user, false);
  store->CloseNode(std::move(node));
  return settings;
}

std::string DiffLauncher::ProgramPath(const DiffProgramSettings& settings) const {
  if (!settings.program.empty()) return settings.program;
  if (install_folder_.empty()) return "";
  return NativeJoin(install_folder_, kInstalledMergeTool);
}

bool DiffLauncher::Launch(const char* kind, const DiffArguments& given, bool wait) {
  const DiffProgramSettings settings = ReadSettings(kind);
  const std::string program = ProgramPath(settings);
  if (program.empty()) return false;
  std::string command_line = settings.command_line;
  if (command_line.empty()) command_line = DefaultDiffCommandLine(kind, program);
  if (command_line.empty()) return false;

  DiffArguments arguments = given;
  arguments.user = settings.default_user;
  // The launcher splits its parameter string by the same rules again; each
  // argument is written so that it comes back exactly.
  std::string parameters;
  for (const std::string& argument : FillDiffCommandLine(command_line, arguments)) {
    if (!parameters.empty()) parameters += ' ';
    parameters += QuoteCommandLineArgument(argument);
  }
  // Only an executable program is started, and a bare name only from
  // $PATH: a file of that name in the current folder (often the working
  // folder, which holds what the server sent) is never taken for it.
  const std::string executable = FindProgram(program, std::string());
  if (executable.empty()) {
    DebugLog("DiffLauncher - no %s program %s to run", kind, program.c_str());
    return false;
  }
  const bool started = GetSystemFactory().Run(executable, parameters, wait);
  if (!started) DebugLog("DiffLauncher - cannot run the %s program %s", kind, program.c_str());
  return started;
}

bool DiffLauncher::Diff(const std::string& file1, const std::string& file2,
                        const std::string& project1, const std::string& project2, bool wait) {
  return Launch(kDiffKind, DiffArguments{file1, file2, project1, project2, ""}, wait);
}

bool DiffLauncher::Merge(const std::string& file1, const std::string& file2,
                         const std::string& project1, const std::string& project2, bool wait) {
  return Launch(kMergeKind, DiffArguments{file1, file2, project1, project2, ""}, wait);
}

bool DiffLauncher::DiffProgramExists() {
  const std::string program = ProgramPath(ReadSettings(kDiffKind));
  return !program.empty() && !FindProgram(program, std::string()).empty();
}

bool DiffLauncher::MergeProgramExists() {
  const std::string program = ProgramPath(ReadSettings(kMergeKind));
  return !program.empty() && !FindProgram(program, std::string()).empty();
}

}  // namespace tw
