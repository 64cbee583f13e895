/* The lineage page: draws the boxes and edges laid out by dot, and lets the
   reader pan, zoom, search, collapse tables and follow a column's chain.
   Every name and SQL text reaches the document as text nodes, never as markup. */
(function () {
  "use strict";

  var SVGNS = "http://www.w3.org/2000/svg";
  var MAX_RESULTS = 200;

  var svg = document.getElementById("graph");
  var viewport = document.getElementById("viewport");
  var edgeLayer = document.getElementById("edges");
  var boxLayer = document.getElementById("boxes");
  var panel = document.getElementById("panel");
  var notice = document.getElementById("notice");
  var tooltip = document.getElementById("tooltip");
  var search = document.getElementById("search");
  var indirectToggle = document.getElementById("show-indirect");
  var chainBar = document.getElementById("chain-bar");

  var data = null;          // the run, as the server or the file gives it
  var model = null;         // indexes and elements built from it
  var view = { x: 0, y: 0, scale: 1 };
  var selection = null;     // {kind: "column"|"statement"|"table", id}

  // Small helpers.

  function html(tag, className, text) {
    var node = document.createElement(tag);
    if (className) node.className = className;
    if (text !== undefined) node.textContent = text;
    return node;
  }

  function shape(tag, attrs) {
    var node = document.createElementNS(SVGNS, tag);
    for (var name in attrs) node.setAttribute(name, attrs[name]);
    return node;
  }

  function link(text, onClick) {
    var button = html("button", "link", text);
    button.type = "button";
    button.addEventListener("click", onClick);
    return button;
  }

  function badge(text, className) {
    return html("span", "badge " + (className || text), text);
  }

  function plural(count, word, words) {
    return count + " " + (count === 1 ? word : words || word + "s");
  }

  // Names longer than their box are cut with an ellipsis, measured in the font they are drawn in.
  var measure = document.createElement("canvas").getContext("2d");
  function fitText(text, width, font) {
    measure.font = font;
    if (measure.measureText(text).width <= width) return text;
    var low = 0, high = text.length;
    while (low < high) {
      var middle = (low + high + 1) >> 1;
      if (measure.measureText(text.slice(0, middle) + "\u2026").width <= width) low = middle;
      else high = middle - 1;
    }
    return text.slice(0, low) + "\u2026";
  }

  function columnName(id) {
    var column = model.columns[id];
    return data.groups[column.group].label + "." + column.name;
  }

  // Building the model and the drawing.

  function buildModel() {
    var m = {
      columns: [], up: [], down: [], indirectFrom: [], indirectOf: [], producedBy: [],
      columnNodes: [], boxNodes: [], edgeNodes: [], indirectNodes: [], collapsed: [],
      edgesOfGroup: [], indirectOfGroup: []
    };
    data.columns.forEach(function (c, id) {
      m.columns.push({ group: c[0], name: c[1], row: 0 });
      m.up.push([]); m.down.push([]); m.indirectFrom.push([]); m.producedBy.push([]);
    });
    data.groups.forEach(function (g) {
      g.columns.forEach(function (id, row) { m.columns[id].row = row; });
      m.collapsed.push(false);
      m.edgesOfGroup.push([]); m.indirectOfGroup.push([]);
    });
    data.statements.forEach(function (s, id) {
      m.indirectOf.push([]);
      s.outputs.forEach(function (c) { m.producedBy[c].push(id); });
    });
    data.edges.forEach(function (e, id) {
      m.down[e[0]].push(id); m.up[e[1]].push(id);
      m.edgesOfGroup[m.columns[e[0]].group].push(id);
      m.edgesOfGroup[m.columns[e[1]].group].push(id);
    });
    data.indirect.forEach(function (e, id) {
      m.indirectFrom[e[0]].push(id); m.indirectOf[e[1]].push(id);
      m.indirectOfGroup[m.columns[e[0]].group].push(id);
      var target = data.statements[e[1]].group;
      if (target !== null) m.indirectOfGroup[target].push(id);
    });
    return m;
  }

  function draw() {
    var metrics = data.metrics;
    var fontFamily = getComputedStyle(document.body).fontFamily;
    var labelFont = "600 12.5px " + fontFamily, columnFont = "12px " + fontFamily;
    boxLayer.textContent = "";
    edgeLayer.textContent = "";
    data.groups.forEach(function (g, id) {
      var box = shape("g", { "class": "box " + g.kind, transform: "translate(" + g.x + "," + g.y + ")" });
      box.dataset.group = id;
      box.appendChild(shape("rect", { "class": "frame", width: g.w, height: g.h, rx: 4 }));
      box.appendChild(shape("rect", { "class": "head", width: g.w - 1, height: metrics.header - 1, x: 0.5, y: 0.5, rx: 4 }));
      var twisty = shape("text", { "class": "twisty", x: 8, y: 17 });
      twisty.textContent = "\u25BE";
      box.appendChild(twisty);
      // The full name shows on hover; the title sits beside the text so the text is the name alone.
      var headline = box.appendChild(shape("g", { "class": "headline" }));
      headline.appendChild(shape("title", {})).textContent = g.label;
      headline.appendChild(shape("text", { "class": "label", x: 22, y: 17 })).textContent =
        fitText(g.label, g.w - 30, labelFont);
      if (g.columns.length) {
        box.appendChild(shape("line", { "class": "divider", x1: 0, x2: g.w, y1: metrics.header, y2: metrics.header }));
      }
      g.columns.forEach(function (id, row) {
        var y = metrics.header + row * metrics.row;
        var col = shape("g", { "class": "col", transform: "translate(0," + y + ")" });
        col.dataset.col = id;
        col.appendChild(shape("rect", { "class": "hit", width: g.w, height: metrics.row }));
        var text = shape("text", { x: 12, y: metrics.row - 5 });
        var name = model.columns[id].name;
        text.textContent = fitText(name, g.w - 20, columnFont);
        if (text.textContent !== name) col.appendChild(shape("title", {})).textContent = name;
        col.appendChild(text);
        box.appendChild(col);
        model.columnNodes[id] = col;
      });
      model.boxNodes.push(box);
      boxLayer.appendChild(box);
    });
    data.edges.forEach(function (e, id) {
      var path = shape("path", { "class": "edge t-" + e[3] + (e[4] ? " ambiguous" : "") });
      path.dataset.edge = id;
      model.edgeNodes.push(path);
      edgeLayer.appendChild(path);
    });
    data.indirect.forEach(function (e, id) {
      var path = shape("path", { "class": "edge indirect" });
      path.dataset.indirect = id;
      model.indirectNodes.push(path);
      if (data.statements[e[1]].group !== null) edgeLayer.appendChild(path);
    });
    data.edges.forEach(function (_, id) { placeEdge(id); });
    data.indirect.forEach(function (_, id) { placeIndirect(id); });
  }

  // Where an edge meets a column: its row, or the header when its box is collapsed.
  function anchor(columnId, outgoing) {
    var column = model.columns[columnId];
    var g = data.groups[column.group];
    var y = model.collapsed[column.group]
      ? g.y + data.metrics.header / 2
      : g.y + data.metrics.header + column.row * data.metrics.row + data.metrics.row / 2;
    return [outgoing ? g.x + g.w : g.x, y];
  }

  function curve(from, to) {
    var bend = Math.max(40, Math.abs(to[0] - from[0]) / 2);
    return "M" + from[0] + "," + from[1] + " C" + (from[0] + bend) + "," + from[1] + " " +
      (to[0] - bend) + "," + to[1] + " " + to[0] + "," + to[1];
  }

  function placeEdge(id) {
    var e = data.edges[id];
    model.edgeNodes[id].setAttribute("d", curve(anchor(e[0], true), anchor(e[1], false)));
  }

  function placeIndirect(id) {
    var e = data.indirect[id];
    var target = data.statements[e[1]].group;
    if (target === null) return;
    var g = data.groups[target];
    model.indirectNodes[id].setAttribute("d", curve(anchor(e[0], true), [g.x, g.y + data.metrics.header / 2]));
  }

  function setCollapsed(group, collapsed) {
    if (model.collapsed[group] === collapsed) return;
    model.collapsed[group] = collapsed;
    var g = data.groups[group];
    var box = model.boxNodes[group];
    box.classList.toggle("collapsed", collapsed);
    box.querySelector(".frame").setAttribute("height", collapsed ? data.metrics.header : g.h);
    box.querySelector(".twisty").textContent = collapsed ? "\u25B8" : "\u25BE";
    model.edgesOfGroup[group].forEach(placeEdge);
    model.indirectOfGroup[group].forEach(placeIndirect);
  }

  // Pan and zoom.

  function applyView() {
    viewport.setAttribute("transform", "translate(" + view.x + "," + view.y + ") scale(" + view.scale + ")");
  }

  function fit() {
    if (!data || !data.groups.length) return;
    var rect = svg.getBoundingClientRect();
    // Room below for the legend.
    var scale = Math.min(rect.width / (data.width + 40), (rect.height - 36) / (data.height + 40), 1.5);
    view.scale = Math.max(scale, 0.02);
    view.x = (rect.width - data.width * view.scale) / 2;
    view.y = (rect.height - 36 - data.height * view.scale) / 2;
    applyView();
  }

  // The first view: the whole run, unless that would be too small to read (a run
  // much taller than wide), then its top at the width of the window.
  function firstView() {
    fit();
    if (!data.groups.length || view.scale >= 0.3) return;
    var rect = svg.getBoundingClientRect();
    view.scale = Math.max(view.scale, Math.min(1, rect.width / (data.width + 40)));
    view.x = (rect.width - data.width * view.scale) / 2;
    view.y = 20;
    applyView();
  }

  function zoomAt(factor, px, py) {
    var scale = Math.min(4, Math.max(0.02, view.scale * factor));
    view.x = px - (px - view.x) * scale / view.scale;
    view.y = py - (py - view.y) * scale / view.scale;
    view.scale = scale;
    applyView();
  }

  function centreOn(x, y) {
    var rect = svg.getBoundingClientRect();
    view.scale = Math.max(view.scale, 1);
    view.x = rect.width / 2 - x * view.scale;
    view.y = rect.height / 2 - y * view.scale;
    applyView();
  }

  // Fits the boxes of a selection in view, no larger than a comfortable reading size.
  function fitGroups(groups) {
    var left = Infinity, top = Infinity, right = -Infinity, bottom = -Infinity;
    groups.forEach(function (id) {
      var g = data.groups[id];
      left = Math.min(left, g.x); top = Math.min(top, g.y);
      right = Math.max(right, g.x + g.w); bottom = Math.max(bottom, g.y + g.h);
    });
    var rect = svg.getBoundingClientRect();
    view.scale = Math.max(0.02, Math.min(rect.width / (right - left + 80), rect.height / (bottom - top + 80), 1));
    view.x = rect.width / 2 - (left + right) / 2 * view.scale;
    view.y = rect.height / 2 - (top + bottom) / 2 * view.scale;
    applyView();
  }

  function centreOnGroup(id) {
    var g = data.groups[id];
    centreOn(g.x + g.w / 2, g.y + Math.min(g.h, 200) / 2);
  }

  var drag = null;
  svg.addEventListener("mousedown", function (event) {
    if (event.button !== 0) return;
    drag = { x: event.clientX, y: event.clientY, vx: view.x, vy: view.y, moved: false };
  });
  window.addEventListener("mousemove", function (event) {
    if (!drag) return;
    var dx = event.clientX - drag.x, dy = event.clientY - drag.y;
    if (!drag.moved && Math.abs(dx) + Math.abs(dy) < 4) return;
    drag.moved = true;
    svg.classList.add("dragging");
    view.x = drag.vx + dx; view.y = drag.vy + dy;
    applyView();
  });
  window.addEventListener("mouseup", function () {
    svg.classList.remove("dragging");
    setTimeout(function () { drag = null; }, 0);
  });
  svg.addEventListener("wheel", function (event) {
    event.preventDefault();
    var rect = svg.getBoundingClientRect();
    zoomAt(Math.exp(-event.deltaY * 0.0015), event.clientX - rect.left, event.clientY - rect.top);
  }, { passive: false });

  // Clicks on the graph.

  svg.addEventListener("click", function (event) {
    if (!data || (drag && drag.moved)) return;
    var target = event.target;
    var col = target.closest(".col");
    var box = target.closest(".box");
    if (col) {
      selectColumn(Number(col.dataset.col));
    } else if (box && target.classList.contains("twisty")) {
      var group = Number(box.dataset.group);
      setCollapsed(group, !model.collapsed[group]);
    } else if (box && (target.classList.contains("label") || target.classList.contains("head"))) {
      selectGroup(Number(box.dataset.group));
    } else if (target.closest(".edge")) {
      var edge = target.closest(".edge");
      if (edge.dataset.edge !== undefined) selectStatement(data.edges[Number(edge.dataset.edge)][2]);
      else selectStatement(data.indirect[Number(edge.dataset.indirect)][1]);
    } else if (!box) {
      clearSelection();
      showOverview();
    }
  });

  svg.addEventListener("mouseover", function (event) {
    var edge = event.target.closest && event.target.closest(".edge");
    if (!edge) { tooltip.hidden = true; return; }
    var text;
    if (edge.dataset.edge !== undefined) {
      var e = data.edges[Number(edge.dataset.edge)];
      text = columnName(e[0]) + " \u2192 " + columnName(e[1]) + "\n" + e[3] +
        (e[4] ? " (ambiguous)" : "") + " in " + data.statements[e[2]].label;
    } else {
      var i = data.indirect[Number(edge.dataset.indirect)];
      var s = data.statements[i[1]];
      text = columnName(i[0]) + " \u21E2 " + (s.target || s.label) + "\n" + i[2] +
        (i[3] ? " (ambiguous)" : "") + " in " + s.label;
    }
    tooltip.textContent = text;
    tooltip.hidden = false;
  });
  svg.addEventListener("mousemove", function (event) {
    if (tooltip.hidden) return;
    var rect = svg.getBoundingClientRect();
    tooltip.style.left = (event.clientX - rect.left + 14) + "px";
    tooltip.style.top = (event.clientY - rect.top + 14) + "px";
  });
  svg.addEventListener("mouseleave", function () { tooltip.hidden = true; });

  // Selection: a column's chain, a statement, a table.

  // Breadth-first from `start`: `steps(column)` gives the steps out of a column,
  // each {step, to: [columns]}; returns the columns reached, appending the steps.
  function walk(start, steps, taken) {
    var seen = {}, queue = [start];
    seen[start] = true;
    while (queue.length) {
      steps(queue.shift()).forEach(function (step) {
        taken.push(step.step);
        step.to.forEach(function (c) { if (!seen[c]) { seen[c] = true; queue.push(c); } });
      });
    }
    return seen;
  }

  function chain(start) {
    var showIndirect = indirectToggle.checked;
    var upSteps = [], downSteps = [], indirectSeen = {};
    var upstream = walk(start, function (c) {
      var steps = model.up[c].map(function (id) { return { step: { edge: id }, to: [data.edges[id][0]] }; });
      if (showIndirect) {
        model.producedBy[c].forEach(function (s) {
          model.indirectOf[s].forEach(function (id) {
            if (indirectSeen[id]) return;
            indirectSeen[id] = true;
            steps.push({ step: { indirect: id }, to: [data.indirect[id][0]] });
          });
        });
      }
      return steps;
    }, upSteps);
    var downstream = walk(start, function (c) {
      var steps = model.down[c].map(function (id) { return { step: { edge: id }, to: [data.edges[id][1]] }; });
      if (showIndirect) {
        model.indirectFrom[c].forEach(function (id) {
          steps.push({ step: { indirect: id }, to: data.statements[data.indirect[id][1]].outputs });
        });
      }
      return steps;
    }, downSteps);
    var columns = {}, edges = {}, indirect = {};
    [upstream, downstream].forEach(function (seen) { Object.keys(seen).forEach(function (c) { columns[c] = true; }); });
    upSteps.concat(downSteps).forEach(function (step) {
      if (step.edge !== undefined) edges[step.edge] = true; else indirect[step.indirect] = true;
    });
    return { columns: columns, edges: edges, indirect: indirect, up: upSteps, down: downSteps };
  }

  var lit = [];
  function light(node) {
    node.classList.add("on");
    lit.push(node);
  }

  function clearSelection() {
    lit.forEach(function (node) { node.classList.remove("on", "sel"); });
    lit = [];
    svg.classList.remove("focus");
    selection = null;
  }

  function showChain(found, selected) {
    svg.classList.add("focus");
    Object.keys(found.columns).forEach(function (id) {
      var column = model.columns[id];
      light(model.columnNodes[id]);
      light(model.boxNodes[column.group]);
    });
    Object.keys(found.edges).forEach(function (id) { light(model.edgeNodes[id]); });
    Object.keys(found.indirect).forEach(function (id) {
      light(model.indirectNodes[id]);
      var target = data.statements[data.indirect[id][1]].group;
      if (target !== null) light(model.boxNodes[target]);
    });
    if (selected !== undefined) model.columnNodes[selected].classList.add("sel");
  }

  function selectColumn(id, bringIntoView) {
    clearSelection();
    selection = { kind: "column", id: id };
    var found = chain(id);
    if (bringIntoView) {
      var groups = {};
      Object.keys(found.columns).forEach(function (c) { groups[model.columns[c].group] = true; });
      setCollapsed(model.columns[id].group, false);
      fitGroups(Object.keys(groups).map(Number));
    }
    showChain(found, id);
    panel.textContent = "";
    panel.appendChild(html("h2", "", columnName(id)));
    panel.appendChild(html("div", "meta",
      plural(Object.keys(found.columns).length - 1, "other column") + " in its chain"));
    if (!whole && Object.keys(found.columns).length > 1) {
      var alone = html("button", "link", "Show this chain alone");
      alone.type = "button";
      alone.id = "chain-alone";
      alone.addEventListener("click", function () { showChainAlone(id, found); });
      panel.appendChild(alone);
    }
    stepList("Upstream (where it comes from)", found.up);
    stepList("Downstream (what it feeds)", found.down);
  }

  // A chain alone: its boxes with only its columns, laid out here in layers (the
  // longest path from its sources), for chains spread over a large run. The
  // statements keep their numbers, so everything else works on it unchanged.

  function chainRun(found, start) {
    var ids = Object.keys(found.columns).map(Number).sort(function (a, b) {
      var ca = model.columns[a], cb = model.columns[b];
      return ca.group - cb.group || ca.row - cb.row;
    });
    var columnOf = {}, groupOf = {}, groups = [], columns = [];
    ids.forEach(function (id) {
      var c = model.columns[id];
      if (groupOf[c.group] === undefined) {
        var g = data.groups[c.group];
        groupOf[c.group] = groups.length;
        groups.push({ label: g.label, kind: g.kind, columns: [], x: 0, y: 0, w: g.w, h: 0 });
      }
      columnOf[id] = columns.length;
      groups[groupOf[c.group]].columns.push(columns.length);
      columns.push([groupOf[c.group], c.name]);
    });
    var run = {
      metrics: data.metrics, groups: groups, columns: columns, summary: data.summary, empty: null,
      edges: Object.keys(found.edges).map(function (id) {
        var e = data.edges[id];
        return [columnOf[e[0]], columnOf[e[1]], e[2], e[3], e[4]];
      }),
      indirect: Object.keys(found.indirect).map(function (id) {
        var e = data.indirect[id];
        return [columnOf[e[0]], e[1], e[2], e[3]];
      }),
      statements: data.statements.map(function (s) {
        var copy = Object.assign({}, s);
        copy.group = s.group !== null && groupOf[s.group] !== undefined ? groupOf[s.group] : null;
        copy.outputs = s.outputs.filter(function (c) { return columnOf[c] !== undefined; })
          .map(function (c) { return columnOf[c]; });
        return copy;
      })
    };
    layers(run);
    return { run: run, column: columnOf[start] };
  }

  function layers(run) {
    var m = run.metrics, count = run.groups.length;
    var links = run.edges.map(function (e) { return [run.columns[e[0]][0], run.columns[e[1]][0]]; });
    run.indirect.forEach(function (e) {
      var target = run.statements[e[1]].group;
      if (target !== null) links.push([run.columns[e[0]][0], target]);
    });
    links = links.filter(function (l) { return l[0] !== l[1]; });
    var rank = run.groups.map(function () { return 0; });
    for (var round = 0; round < count; round++) {  // a cycle stops growing after `count` rounds
      var changed = false;
      links.forEach(function (l) {
        if (rank[l[1]] < rank[l[0]] + 1) { rank[l[1]] = rank[l[0]] + 1; changed = true; }
      });
      if (!changed) break;
    }
    var byRank = [];
    run.groups.forEach(function (g, id) {
      g.h = m.header + g.columns.length * m.row + m.padding;
      (byRank[rank[id]] = byRank[rank[id]] || []).push(id);
    });
    var x = 0, centre = {};
    run.width = 0; run.height = 0;
    byRank.forEach(function (ids) {
      if (!ids) return;
      // Each layer in the order of where its boxes' sources sit, so edges cross less.
      var order = {};
      ids.forEach(function (id) {
        var sum = 0, seen = 0;
        links.forEach(function (l) { if (l[1] === id && centre[l[0]] !== undefined) { sum += centre[l[0]]; seen++; } });
        order[id] = seen ? sum / seen : 0;
      });
      ids.sort(function (a, b) { return order[a] - order[b] || a - b; });
      var y = 0, widest = 0;
      ids.forEach(function (id) {
        var g = run.groups[id];
        g.x = x; g.y = y;
        centre[id] = y + g.h / 2;
        y += g.h + 28;
        widest = Math.max(widest, g.w);
      });
      run.height = Math.max(run.height, y - 28);
      x += widest + 100;
      run.width = x - 100;
    });
  }

  var whole = null;  // the whole run while a chain is shown alone

  function showChainAlone(id, found) {
    var label = columnName(id);
    var alone = chainRun(found, id);
    if (!whole) whole = data;
    render(alone.run);
    chainBar.querySelector("span").textContent = "The chain of " + label + " alone";
    selectColumn(alone.column, false);
  }

  function columnLink(id) {
    return link(columnName(id), function () { selectColumn(id, true); });
  }

  function statementLink(id) {
    return link(data.statements[id].label, function () { selectStatement(id); });
  }

  function stepList(title, steps) {
    panel.appendChild(html("h3", "", title));
    var list = html("ul");
    if (!steps.length) list.appendChild(html("li", "none", "nothing"));
    steps.forEach(function (step) {
      var item = html("li");
      if (step.edge !== undefined) {
        var e = data.edges[step.edge];
        item.appendChild(columnLink(e[0]));
        item.appendChild(document.createTextNode(" \u2192 "));
        item.appendChild(columnLink(e[1]));
        item.appendChild(badge(e[3]));
        if (e[4]) item.appendChild(badge("ambiguous", "skipped"));
        var where = html("div", "meta", "in ");
        where.appendChild(statementLink(e[2]));
        item.appendChild(where);
      } else {
        var i = data.indirect[step.indirect];
        var s = data.statements[i[1]];
        item.appendChild(columnLink(i[0]));
        item.appendChild(document.createTextNode(" \u21E2 " + (s.target || s.label)));
        item.appendChild(badge(i[2], "skipped"));
        var at = html("div", "meta", "decides the rows of ");
        at.appendChild(statementLink(i[1]));
        item.appendChild(at);
      }
      list.appendChild(item);
    });
    panel.appendChild(list);
  }

  function statementReads(id) {
    var names = {};
    data.edges.forEach(function (e) { if (e[2] === id) names[model.columns[e[0]].name.toLowerCase()] = true; });
    model.indirectOf[id].forEach(function (i) { names[model.columns[data.indirect[i][0]].name.toLowerCase()] = true; });
    delete names["*"];
    return names;
  }

  // The statement's text with the names of the columns it reads marked; strings
  // and comments are left alone.
  var TOKEN = /("(?:[^"]|"")*"|`[^`]*`|\[[^\]\n]*\])|('(?:[^'\\]|''|\\.)*'?|--[^\n]*|\/\*[\s\S]*?(?:\*\/|$))|([A-Za-z_\u0080-\uFFFF][\w$\u0080-\uFFFF]*)/g;

  function sqlBlock(text, names) {
    var pre = html("pre", "sql");
    var last = 0, match;
    TOKEN.lastIndex = 0;
    while ((match = TOKEN.exec(text)) !== null) {
      if (match[0] === "") { TOKEN.lastIndex++; continue; }
      var name = match[3] !== undefined ? match[3] : match[1] !== undefined ? match[1].slice(1, -1) : null;
      if (name !== null && names[name.toLowerCase()]) {
        pre.appendChild(document.createTextNode(text.slice(last, match.index)));
        pre.appendChild(html("mark", "", match[0]));
        last = match.index + match[0].length;
      }
    }
    pre.appendChild(document.createTextNode(text.slice(last)));
    return pre;
  }

  function selectStatement(id) {
    clearSelection();
    selection = { kind: "statement", id: id };
    var s = data.statements[id];
    svg.classList.add("focus");
    data.edges.forEach(function (e, edge) {
      if (e[2] !== id) return;
      light(model.edgeNodes[edge]);
      [e[0], e[1]].forEach(function (c) { light(model.columnNodes[c]); light(model.boxNodes[model.columns[c].group]); });
    });
    model.indirectOf[id].forEach(function (i) {
      light(model.indirectNodes[i]);
      var c = data.indirect[i][0];
      light(model.columnNodes[c]); light(model.boxNodes[model.columns[c].group]);
    });
    if (s.group !== null) light(model.boxNodes[s.group]);
    panel.textContent = "";
    var head = html("h2", "", s.label);
    head.appendChild(badge(s.status));
    panel.appendChild(head);
    panel.appendChild(html("div", "meta", s.kind + (s.target ? " \u2192 " + s.target : "") + ", line " + s.line));
    if (s.message) panel.appendChild(html("p", "", s.message));
    if (s.problems.length) {
      var problems = html("ul", "problems");
      s.problems.forEach(function (p) { problems.appendChild(html("li", "", p)); });
      panel.appendChild(problems);
    }
    panel.appendChild(html("h3", "", "SQL (columns it reads marked)"));
    // Blank lines around the statement are where it was cut from its file.
    panel.appendChild(sqlBlock(s.sql.replace(/^\s*\n/, "").replace(/\s+$/, ""), statementReads(id)));
    panel.appendChild(html("h3", "", "Output columns"));
    var outputs = html("ul");
    if (!s.outputs.length) outputs.appendChild(html("li", "none", "none"));
    s.outputs.forEach(function (c) { var item = html("li"); item.appendChild(columnLink(c)); outputs.appendChild(item); });
    panel.appendChild(outputs);
  }

  function selectGroup(id) {
    clearSelection();
    selection = { kind: "table", id: id };
    var g = data.groups[id];
    svg.classList.add("focus");
    light(model.boxNodes[id]);
    g.columns.forEach(function (c) { light(model.columnNodes[c]); });
    panel.textContent = "";
    panel.appendChild(html("h2", "", g.label));
    panel.appendChild(html("div", "meta", (g.kind === "query" ? "output of a query" : "table") + ", " + plural(g.columns.length, "column")));
    var writers = {}, readers = {};
    data.statements.forEach(function (s, sid) { if (s.group === id) writers[sid] = true; });
    data.edges.forEach(function (e) { if (model.columns[e[0]].group === id) readers[e[2]] = true; });
    data.indirect.forEach(function (e) { if (model.columns[e[0]].group === id) readers[e[1]] = true; });
    [["Written by", writers], ["Read by", readers]].forEach(function (pair) {
      panel.appendChild(html("h3", "", pair[0]));
      var list = html("ul");
      var ids = Object.keys(pair[1]).map(Number).sort(function (a, b) { return a - b; });
      if (!ids.length) list.appendChild(html("li", "none", "no statement of this run"));
      ids.forEach(function (sid) { var item = html("li"); item.appendChild(statementLink(sid)); list.appendChild(item); });
      panel.appendChild(list);
    });
  }

  // The panel when nothing is selected: every statement of the run.

  function showOverview() {
    panel.textContent = "";
    panel.appendChild(html("h2", "", "Statements"));
    panel.appendChild(html("div", "meta", "Click a column to follow its chain, a statement to read its SQL."));
    var list = html("ul");
    if (!data.statements.length) list.appendChild(html("li", "none", "no statements"));
    data.statements.forEach(function (s, id) {
      var item = html("li");
      item.appendChild(statementLink(id));
      item.appendChild(badge(s.status));
      item.appendChild(html("div", "meta", s.kind + (s.target ? " \u2192 " + s.target : "") +
        (s.message ? ": " + s.message : "")));
      list.appendChild(item);
    });
    panel.appendChild(list);
  }

  // Search.

  var marked = [];
  function runSearch() {
    marked.forEach(function (node) { node.classList.remove("match"); });
    marked = [];
    var query = search.value.trim().toLowerCase();
    if (!data) return;
    if (!query) { if (!selection) showOverview(); return; }
    var groups = [], columns = [];
    data.groups.forEach(function (g, id) { if (g.label.toLowerCase().indexOf(query) >= 0) groups.push(id); });
    model.columns.forEach(function (c, id) {
      if (c.name.toLowerCase().indexOf(query) >= 0 || columnName(id).toLowerCase().indexOf(query) >= 0) columns.push(id);
    });
    groups.forEach(function (id) { model.boxNodes[id].classList.add("match"); marked.push(model.boxNodes[id]); });
    columns.forEach(function (id) { model.columnNodes[id].classList.add("match"); marked.push(model.columnNodes[id]); });
    panel.textContent = "";
    panel.appendChild(html("h2", "", "Search"));
    panel.appendChild(html("div", "meta", plural(groups.length, "table") + ", " + plural(columns.length, "column") + " match"));
    var list = html("ul", "results");
    groups.slice(0, MAX_RESULTS).forEach(function (id) {
      var item = html("li");
      item.appendChild(link(data.groups[id].label, function () { selectGroup(id); centreOnGroup(id); }));
      item.appendChild(badge(data.groups[id].kind === "query" ? "query" : "table", "skipped"));
      list.appendChild(item);
    });
    columns.slice(0, MAX_RESULTS).forEach(function (id) {
      var item = html("li");
      item.appendChild(columnLink(id));
      list.appendChild(item);
    });
    var hidden = Math.max(0, groups.length - MAX_RESULTS) + Math.max(0, columns.length - MAX_RESULTS);
    if (hidden) list.appendChild(html("li", "none", hidden + " more: type more of the name"));
    panel.appendChild(list);
  }

  var searchTimer = null;
  search.addEventListener("input", function () {
    clearTimeout(searchTimer);
    searchTimer = setTimeout(runSearch, 120);
  });
  search.addEventListener("keydown", function (event) {
    if (event.key !== "Enter") return;
    clearTimeout(searchTimer);
    runSearch();
    var first = panel.querySelector(".results .link");
    if (first) first.click();
  });

  document.addEventListener("keydown", function (event) {
    if (event.key === "Escape" && data && selection) { clearSelection(); showOverview(); }
  });

  // The bar's buttons.

  indirectToggle.addEventListener("change", function () {
    svg.classList.toggle("show-indirect", indirectToggle.checked);
    if (selection && selection.kind === "column") selectColumn(selection.id);
  });
  document.getElementById("expand-all").addEventListener("click", function () {
    if (data) data.groups.forEach(function (_, id) { setCollapsed(id, false); });
  });
  document.getElementById("collapse-all").addEventListener("click", function () {
    if (data) data.groups.forEach(function (_, id) { setCollapsed(id, true); });
  });
  document.getElementById("fit").addEventListener("click", fit);
  document.getElementById("zoom-in").addEventListener("click", function () {
    var rect = svg.getBoundingClientRect();
    zoomAt(1.25, rect.width / 2, rect.height / 2);
  });
  document.getElementById("zoom-out").addEventListener("click", function () {
    var rect = svg.getBoundingClientRect();
    zoomAt(0.8, rect.width / 2, rect.height / 2);
  });

  // Showing a run.

  function render(run) {
    data = run;
    chainBar.hidden = !whole;
    clearSelection();
    marked = [];
    model = buildModel();
    draw();
    var counts = run.summary;
    document.getElementById("summary").textContent =
      plural(counts.statements, "statement") + ": " + counts.ok + " analysed, " + counts.skipped +
      " skipped, " + counts.failed + " failed \u00B7 " + plural(run.groups.length, "box", "boxes") + ", " +
      plural(run.columns.length, "column");
    notice.hidden = !run.empty;
    notice.textContent = run.empty || "";
    showOverview();
    if (search.value.trim()) runSearch();
    firstView();
  }

  document.getElementById("chain-back").addEventListener("click", function () {
    var run = whole;
    whole = null;
    render(run);
  });

  window.LineagePage = { render: function (run) { whole = null; render(run); } };

  var embedded = JSON.parse(document.getElementById("lineage-data").textContent);
  if (embedded) render(embedded);
})();
