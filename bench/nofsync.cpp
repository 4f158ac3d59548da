// Linked into ostrel_nofsync with -Wl,--wrap=fsync: the program's fsync
// calls do nothing, so bench/compare can show what the durable save costs.
extern "C" int __wrap_fsync(int) {
    return 0;
}
