// keepstone-init: sets up the platform security early in the boot.
int main()
{
    return 0;
}
