int RunOptionsTests(int, char**) {
    return 0;
}
