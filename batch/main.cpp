#include "batch.h"

int main(int argc, char** argv) { return valdmora::batch_main(argc, argv); }
