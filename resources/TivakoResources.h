#ifndef TIVAKO_RESOURCES_TIVAKORESOURCES_H
#define TIVAKO_RESOURCES_TIVAKORESOURCES_H

// Registers the compiled-in resources (":/img/...", ":/hex/..."). Safe to call
// more than once.
void tivakoInitResources();

#endif
