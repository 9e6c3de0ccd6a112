#include "TivakoResources.h"

#include <QtGlobal>

static void initOnce()
{
    Q_INIT_RESOURCE(resources);
}

void tivakoInitResources()
{
    static const bool done = (initOnce(), true);
    (void)done;
}
