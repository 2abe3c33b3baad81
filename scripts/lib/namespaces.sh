# Whether fake_kernel_run can make its private mount namespace here, asked of
# the built fake_kernel_run itself over an empty tree.

# Succeeds when it can; otherwise prints why not (fake_kernel_run's own words).
probe_namespaces() {
    local fake_kernel_run=$1 probe status=0
    probe=$(mktemp -d)
    mkdir -p "$probe/tree/proc" "$probe/tree/sys/class"
    "$fake_kernel_run" "$probe/tree" /bin/true 2>"$probe/err" || status=$?
    [ "$status" -eq 0 ] || cat "$probe/err"
    rm -rf "$probe"
    return "$status"
}

# How to let an ordinary user make user namespaces: the setting that forbids
# them here, or every setting known to when none of them does.
user_namespace_advice() {
    local setting name forbidding allowing value advice=()
    # Debian's own switch, the kernel's limit, and Ubuntu's AppArmor restriction.
    for setting in kernel/unprivileged_userns_clone:0:1 user/max_user_namespaces:0:15000 \
        kernel/apparmor_restrict_unprivileged_userns:1:0; do
        IFS=: read -r name forbidding allowing <<<"$setting"
        value=$(cat "/proc/sys/$name" 2>/dev/null) || continue
        if [ "$value" = "$forbidding" ]; then
            advice+=("sudo sysctl -w ${name//\//.}=$allowing")
        fi
    done
    if [ ${#advice[@]} -gt 0 ]; then
        local joined
        joined=$(printf ' and %s' "${advice[@]}")
        echo "allow unprivileged user namespaces with ${joined# and }"
    else
        echo "allow unprivileged user namespaces (sysctl kernel.unprivileged_userns_clone=1 on Debian," \
            "user.max_user_namespaces above 0, kernel.apparmor_restrict_unprivileged_userns=0 on Ubuntu;" \
            "a container may forbid them in its own policy)"
    fi
}
