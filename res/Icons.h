// The program's icons, drawn in code: 128 the application, 133 the
// notification-area image while clients are connected (busy), 134 while none
// is (idle).
#pragma once

#include <QIcon>
#include <QImage>

// The icon with this resource number, at every standard size.
QIcon LoadIconResource(int nId);
// One image of that icon, nSide pixels square.
QImage DrawIconResource(int nId, int nSide);
