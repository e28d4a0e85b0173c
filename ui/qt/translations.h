// Qt's own texts in French: the buttons and labels of its file dialogs and
// standard buttons ("Enregistrer", "Annuler", "Nom de fichier"...), from
// Qt's translation catalogues (Debian's qt6-translations-l10n).
#pragma once

namespace klarion::qt {

// Sets French as the default locale and installs Qt's French catalogue in
// the running application. False when the catalogue is not installed: Qt's
// texts then stay in English, nothing else changes.
bool useFrenchQtTexts();

}  // namespace klarion::qt
