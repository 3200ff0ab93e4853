# The window as a screen reader reads it, through AT-SPI. Run as a program, in a process of its
# own for each look: a process keeps its first accessibility bus, and each test class has a
# session bus of its own. It prints the tree of the application with the given pid as JSON, or
# first performs the named action of the object at the given path of child indices.

import json
import sys


def tree(node, path):
    states = node.getState()
    return {"role": node.getRoleName(), "name": node.name, "description": node.description,
            "focused": states.contains(pyatspi.STATE_FOCUSED), "path": path,
            "children": [tree(child, path + [i]) for i, child in enumerate(node) if child]}


def application(pid):
    return next(app for app in pyatspi.Registry.getDesktop(0)
                if app and app.get_process_id() == pid)


def main(pid, path=None, action=None):
    node = application(int(pid))
    if action:
        for index in json.loads(path):
            node = node[index]
        actions = node.queryAction()
        names = [actions.getName(i) for i in range(actions.nActions)]
        actions.doAction(names.index(action))
        return
    print(json.dumps(tree(node, []), ensure_ascii=False))


if __name__ == "__main__":
    import pyatspi
    main(*sys.argv[1:])
