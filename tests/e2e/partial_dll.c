/* A library that has the module name but only one of the exports, for the sample host's
 * missing-export message. */
__declspec(dllexport) int winperf_init(void) { return 0; }
