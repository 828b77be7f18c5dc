#include "Carvelin.Startup.h"

int main(int argc, char** argv) { return Carvelin::RunCarvelin(argc, argv); }
