#pragma once

// Registers the compiled-in resources (images, icon, TLS data). The resources live in the static
// core library, whose registration the linker would otherwise drop.
void initProgramResources();
