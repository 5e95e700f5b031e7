#ifndef WEX_APP_REPORT_OUTPUT_H
#define WEX_APP_REPORT_OUTPUT_H

// Call first: keeps a closed standard output closed to every other file the run opens.
void report_output_begin();

// Call last with the exit status: a report that could not be written is a failure.
int report_output_end(int status);

#endif
