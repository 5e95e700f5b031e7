// wex-q40 diagnose, the checks of what a reading needs and one trial reading: its options, their rows, and its run.
#ifndef WEX_Q40_DIAGNOSE_H
#define WEX_Q40_DIAGNOSE_H

#include <array>
#include <string>

#include "acquire.h"
#include "option_row.h"

namespace wex_q40 {

struct DiagnoseOptions {
    std::string textfile_directory;  // the collector's folder to check
};
extern const std::array<OptionRow<DiagnoseOptions>, 1> diagnose_rows;
int run_diagnose(const ReadingOptions &reading, const DiagnoseOptions &options, const Budget &budget);

}  // namespace wex_q40

#endif
