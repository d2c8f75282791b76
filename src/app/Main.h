#pragma once

int Main(int argc, char **argv);
