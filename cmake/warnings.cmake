# Warnings are errors everywhere: the driver sources must stay clean for the
# kernel compilers, and the tests for the host ones.
set(PROJECT_WARNINGS -Wall -Wextra -Werror -Wno-multichar)
