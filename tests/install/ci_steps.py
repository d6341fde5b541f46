#!/usr/bin/python3
"""Prints the shell steps of a CI example in docs/ci/ as one bash script,
with the environment the CI service would give them: a GitLab CI file's job
variables (values set outside, as in the project's settings, win), before_script
and script; a GitHub Actions workflow's env (job and step) and run steps.
Values that are expressions of the service (${{ ... }}) must be set by the
caller. Steps that use actions are the service's own and left out.

    ci_steps.py FILE.yml
"""
import shlex
import sys

import yaml


def export(name, value, fixed):
    value = "" if value is None else str(value)
    if value.startswith("${{"):
        return f': "${{{name}?{name} is set by the CI service ({value})}}"; export {name}'
    if fixed:
        return f"export {name}={shlex.quote(value)}"
    return f"[[ -v {name} ]] || {name}={shlex.quote(value)}; export {name}"


def gitlab(document):
    lines = []
    for name, job in document.items():
        if name.startswith(".") or not isinstance(job, dict) or "script" not in job:
            continue
        lines.append(f"# job {name}")
        lines += [export(k, v, False) for k, v in (job.get("variables") or {}).items()]
        lines += job.get("before_script", []) + job["script"]
    return lines


def github(document):
    lines = []
    for name, job in document["jobs"].items():
        lines.append(f"# job {name}")
        lines += [export(k, v, True) for k, v in (job.get("env") or {}).items()]
        for step in job["steps"]:
            if "run" not in step:
                continue
            body = [export(k, v, True) for k, v in (step.get("env") or {}).items()] + [step["run"]]
            lines += ["(", *body, ")"]  # a step's env is its own
    return lines


def main():
    document = yaml.safe_load(open(sys.argv[1]))
    lines = github(document) if "jobs" in document else gitlab(document)
    print("\n".join(lines))


if __name__ == "__main__":
    main()
