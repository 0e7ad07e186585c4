"""What the AT-SPI checks share: finding a program on the bus, and reading its tree."""
import time

import pyatspi


def find_app(name, deadline):
    """The application of that name on the accessibility bus, waited for until deadline."""
    while time.time() < deadline:
        desktop = pyatspi.Registry.getDesktop(0)
        for app in desktop:
            if app is not None and app.name == name:
                return app
        time.sleep(0.2)
    return None


def walk(node, out):
    """Appends (role, name, node) for node and all below it to out, and returns out."""
    try:
        out.append((node.getRoleName(), node.name or "", node))
        for child in node:
            if child is not None:
                walk(child, out)
    except Exception:  # a node can vanish while it is read
        pass
    return out
