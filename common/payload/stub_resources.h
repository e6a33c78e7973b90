// The resources of a launcher stub that a project may replace and the launcher loads by id: the
// launcher's icon group, the first group, so the icon Explorer shows and the one its dialogs use, and
// the splash picture. Plain macros, so that the resource compiler reads them as C++ does.
#pragma once

#define KESTRO_LAUNCHER_ICON_GROUP 1001
#define KESTRO_SPLASH_PICTURE 10000
