#include "main/app.h"

int main(int argc, char** argv) { return kestravo::main::app_main(argc, argv); }
