// The downloader's process entry (RunProgram, app/program.h, does the work).

#include "app/program.h"

int main(int argc, char** argv) {
    return tessali::app::RunProgram(argc, argv);
}
