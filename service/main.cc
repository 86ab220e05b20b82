// fiskald, the shipped program: fiskald (service/fiskald.h) with no test
// points.

#include "service/fiskald.h"

int main(int argc, char** argv) { return fiskal::service::RunFiskald(argc, argv, {}); }
