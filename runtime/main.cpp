#include "runtime/process.h"

int main(int argc, char** argv) { return kry::ProcessMain(argc, argv); }
