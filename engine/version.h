#pragma once

// The version the library was built with; the station shows it in its title.
const char* SondrelVersion();
