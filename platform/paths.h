// Folders of the user and of the program (XDG conventions).
#pragma once

#include <filesystem>

namespace klarion {

// $HOME, else the password database's home folder, else "/".
std::filesystem::path homeFolder();
// $XDG_CONFIG_HOME when it is an absolute path, else $HOME/.config.
std::filesystem::path configHome();
// XDG_DOCUMENTS_DIR of $XDG_CONFIG_HOME/user-dirs.dirs when it names a folder
// other than the home folder, else $HOME/Documents. Not created here.
std::filesystem::path documentsFolder();
// The folder of the running executable (/proc/self/exe); empty if unknown.
std::filesystem::path executableFolder();
// The program's resource files (the student page and its pictures): "resources" beside the
// executable (a build folder), else "../share/klarion/resources" from it (an installed
// program) when that folder exists, else the first.
std::filesystem::path resourceFolder();

}  // namespace klarion
