#include "main/app.h"

int main(int argc, char** argv) { return kestravo::app_main(argc, argv); }
