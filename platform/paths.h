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

}  // namespace klarion
