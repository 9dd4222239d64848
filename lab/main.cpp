#include "lab.h"

int main(int argc, char** argv) { return palaver::lab::labMain(argc, argv); }
