// Where the program's save dialogs open: the user's download folder, or the folder of the last
// save in this run. Never the working directory, which for an installed program is often the
// profile: files saved there would be mixed with mailbox files.
#pragma once

#include <string>

namespace tavik {

// The start of a save dialog for `fileName` (a bare name, or empty): the folder, ending in "/",
// followed by the name. Path bytes.
std::string saveDialogStart(const std::string& fileName = {});

// Keeps the folder of `savedPath`, a path the user chose in a save dialog, for the next dialog.
void rememberSaveFolder(const std::string& savedPath);

} // namespace tavik
