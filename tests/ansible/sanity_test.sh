#!/usr/bin/env bash
# ansible-test sanity and ansible-lint on the collection, with Debian's
# packages only and no network: ansible-test would fill a virtual
# environment per test from PyPI, so each one it asks for is made here first
# from the system's Python and its packages (pylint, voluptuous, yamllint,
# pycodestyle), marked as filled.  The tests that need what Debian lacks are
# skipped and named.  Status 77 when a tool is missing.
#
#   sanity_test.sh
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
collection=$here/../../ansible/ansible_collections/quelvaris/cash
# Debian's Python and what it has, whatever else is first on the PATH.
export PATH=/usr/bin:/bin:$PATH
for tool in ansible-test ansible-lint; do
    command -v "$tool" >/dev/null || { echo "no $tool: skipped"; exit 77; }
done
for m in pylint yamllint pycodestyle voluptuous; do
    python3 -c "import $m" 2>/dev/null || { echo "no Python module $m: skipped"; exit 77; }
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export HOME=$work ANSIBLE_HOME=$work/ansible
# ansible-test takes the collection's place from its path.
mkdir -p "$work/ansible_collections/quelvaris"
cp -r "$collection" "$work/ansible_collections/quelvaris/cash"
cd "$work/ansible_collections/quelvaris/cash"
rm -rf tests/output

# Not run, and why: shellcheck and pslint have no shell or PowerShell here to
# check; changelog needs antsibull-changelog, which Debian does not package.
skip=(--skip-test shellcheck --skip-test pslint --skip-test changelog)
for _ in $(seq 20); do
    status=0
    ansible-test sanity --local --python 3.11 "${skip[@]}" >"$work/out" 2>&1 || status=$?
    venv=$(sed -n 's/^FATAL: Python 3.11 at "\(.*\)\/bin\/python" does not have pip available\.$/\1/p' "$work/out")
    [ -n "$venv" ] || break
    rm -rf "$venv"
    python3 -m venv --without-pip --system-site-packages "$venv"
    echo '[]' >"$venv/meta.install.json"
    echo '{"yaml": true, "cloader": true}' >"$venv/meta.yaml.json"
    : >"$venv/marker.txt"
done
grep -v -e '^Running sanity test' -e '^WARNING: Using locale' -e '^WARNING: Reviewing previous' "$work/out" || true
[ "$status" = 0 ] || { echo "FAIL: ansible-test sanity"; exit 1; }
echo "ansible-test sanity passed; skipped: shellcheck, pslint (nothing of theirs here), changelog (no antsibull-changelog in Debian)"

# ansible-lint on the collection and on every play the documentation shows:
# each indented play of the READMEs and doc/, taken out into the copy, where
# the linter looks (it passes over files outside the project).
mkdir plays
python3 - "$here/../../README.md" README.md "$here"/../../doc/*.md plays <<'PY'
import re, sys
out = sys.argv[-1]
n = 0
for doc in sys.argv[1:-1]:
    text = open(doc, encoding='utf-8').read()
    # An indented block, up to a paragraph that is no YAML (the commands
    # that run the play, shown after it).
    for block in re.findall(r'(?:^(?:    .*|)\n)+', text, re.M):
        kept = []
        for para in re.split(r'\n\s*\n', '\n'.join(l[4:] for l in block.split('\n'))):
            para = para.strip('\n')
            if para and not para.startswith(('- ', ' ', '#')):
                break
            kept.append(para)
        play = '\n\n'.join(kept).strip('\n')
        if re.search(r'^(- |  )hosts: \S', play, re.M):
            n += 1
            with open('%s/play%02d.yml' % (out, n), 'w', encoding='utf-8') as f:
                f.write('---\n' + play + '\n')
print('%d plays from the documentation' % n)
PY
# Named one by one: outside a git checkout it finds nothing by itself.
ANSIBLE_COLLECTIONS_PATH=$work ansible-lint --offline --nocolor -q galaxy.yml meta/runtime.yml roles/report playbooks/*.yml \
    plays/*.yml
echo "ansible-lint passed"
