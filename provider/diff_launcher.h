// DiffLauncher: starts the user's diff or merge program on two files. The
// program and its argument template are the user's settings in user.dat,
// under "UserProperties": "DiffProgram" / "DiffCommandLine" for comparing,
// "MergeProgram" / "MergeCommandLine" for merging, and "DefaultUser" for the
// "[User]" placeholder. The template's placeholders "[File1]", "[File2]",
// "[Project1]", "[Project2]" and "[User]" are replaced everywhere.
//
// An empty template falls back to a default: for the product's own merge
// tool (a program path holding "\VLMerge.exe", or "/VLMerge.exe" here)
//   "[File1]" "[File2]" /project1 [Project1] /project2 [Project2] /user [User]
// followed by " -wl -wr" for a comparison; for any other program the two
// quoted file names alone.
//
// The program runs through the system factory's launcher, never a shell.
// The template is split into arguments by the Windows command-line rules
// before the placeholders are filled in, so a value never changes how the
// command line splits: a path with blanks or quotes stays one argument, and
// an unbalanced quote in the template groups the rest of it, as those rules
// say. An argument made of placeholders alone that comes out empty (an
// empty "[User]") is left out, as it would vanish from a filled-in command
// line.
//
// Threads: an object is used by one thread; it reads the settings afresh
// at each operation.
#ifndef TW_PROVIDER_DIFF_LAUNCHER_H_
#define TW_PROVIDER_DIFF_LAUNCHER_H_

#include <string>
#include <vector>

namespace tw {

class PropertyFileClient;

// The two kinds of program.
constexpr char kDiffKind[] = "Diff";
constexpr char kMergeKind[] = "Merge";

// What the settings hold for one kind (empty when absent).
struct DiffProgramSettings {
  std::string program;
  std::string command_line;
  std::string default_user;
};

// The values of the placeholders.
struct DiffArguments {
  std::string file1;
  std::string file2;
  std::string project1;
  std::string project2;
  std::string user;
};

class DiffLauncher {
 public:
  // `user_store` is the user's user.dat (not owned, outlives the launcher);
  // null: user.dat is opened for each operation and closed after it.
  // `install_folder`, when not empty, supplies the program for an empty
  // program setting: "VLMerge/VLMerge.exe" inside it. The provider gives
  // none, so for it an empty setting means that no program is configured.
  explicit DiffLauncher(PropertyFileClient* user_store = nullptr,
                        std::string install_folder = std::string());

  // Run the kind's program on the two files: false when no program is
  // configured, the template is empty, or the program could not be started
  // (it does not exist, or is no program). With `wait`, returns once the
  // program has ended, however long the person keeps it open; without, the
  // program runs detached.
  bool Diff(const std::string& file1, const std::string& file2, const std::string& project1,
            const std::string& project2, bool wait);
  bool Merge(const std::string& file1, const std::string& file2, const std::string& project1,
             const std::string& project2, bool wait);

  // Whether the configured (or default) program of the kind is an existing
  // file.
  bool DiffProgramExists();
  bool MergeProgramExists();

  // The settings of `kind` as stored.
  DiffProgramSettings ReadSettings(const char* kind);
  // The program of `kind`: the stored one, else the installation folder's
  // default, else empty.
  std::string ProgramPath(const DiffProgramSettings& settings) const;

 private:
  bool Launch(const char* kind, const DiffArguments& arguments, bool wait);

  PropertyFileClient* const user_store_;
  const std::string install_folder_;
};

// The default template of `kind` for `program` (see above).
std::string DefaultDiffCommandLine(const char* kind, const std::string& program);

// The argument vector of `command_line` (the program not included) with the
// placeholders filled in; see above.
std::vector<std::string> FillDiffCommandLine(const std::string& command_line,
                                             const DiffArguments& arguments);

}  // namespace tw

#endif  // TW_PROVIDER_DIFF_LAUNCHER_H_
