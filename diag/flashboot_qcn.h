#pragma once
// The QCN operations of a module with their outcome (file names, counts, the reason of a
// failure), for front ends that show more than the result code. `Flashboot::DoBackUpQCN` and
// `Flashboot::DoDownloadQCN` are these with the outcome dropped.
#include "diag/qcn_ops.h"

class Flashboot;

namespace diag {

// `module` talks to the phone; `caller` supplies the slot row and the port number (the station
// passes the module itself).
int BackUpQcn(Flashboot* module, Flashboot* caller, const char* qcn_folder, const char* list_folder,
              BackupOutcome* out);
// The flag byte in front of the caller's `qcnpath` chooses the text file (see RunRestore).
int DownloadQcn(Flashboot* module, Flashboot* caller, const char* folder, RestoreOutcome* out);

} // namespace diag
