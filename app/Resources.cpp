#include "Resources.h"

#include <QtGlobal>

void initProgramResources()
{
    Q_INIT_RESOURCE(resources);
}
