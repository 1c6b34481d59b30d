// One handler per call number; each family of calls lives in its own source file.
#pragma once

char *Connection(int connection, char *request);
