// Linked by the coverage build alone (-DCOVERAGE=ON) into the programs that end by raising
// a signal or by _Exit, with the linker's --wrap for both: gcov writes its counts only when
// a process returns from main or calls exit, so these write them first.
extern "C" {
void __gcov_dump();
int __real_raise(int signal);
[[noreturn]] void __real__Exit(int status);

int __wrap_raise(int signal)
{
    __gcov_dump();
    return __real_raise(signal);
}

[[noreturn]] void __wrap__Exit(int status)
{
    __gcov_dump();
    __real__Exit(status);
}
}
