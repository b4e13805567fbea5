// The office map's own Leaflet pieces: markers placed by left/top, and the
// crews' labels as one layer. Loaded after Leaflet, before office.js.
'use strict';

// Markers placed by left/top, not Leaflet's 3D transform: a 3D transform gives
// each of thousands of markers a compositing layer of its own, and drawing
// 2,000 crews' labels that way took the browser about half a second.
L.Marker.include({
  _setPos(pos) {
    for (const element of [this._icon, this._shadow]) {
      if (!element) continue;
      element._leaflet_pos = pos;
      element.style.left = pos.x + 'px';
      element.style.top = pos.y + 'px';
    }
    this._zIndex = pos.y + this.options.zIndexOffset;
    this._resetZIndex();
  },
});

// Every crew's latest position as a label with its name and "last seen",
// plain elements above the events in the marker pane. As 2,000 Leaflet
// markers they took the page about 100 ms to make, and each zoom 2,000 handlers.
const CrewLabels = L.Layer.extend({
  initialize(onClick) {
    this.onClick = onClick;
    this.labels = new Map(); // name -> {element, latlng}
    this.names = new WeakMap(); // element -> name
    this.box = el('div', 'crew-labels');
    this.box.addEventListener('click', event => {
      const element = event.target.closest('.crew-marker');
      const map = this._map;
      if (element && map && !(map.dragging && map.dragging.moved())) this.onClick(this.names.get(element));
    });
  },

  onAdd(map) {
    map.getPane('markerPane').appendChild(this.box);
    this.place();
  },

  onRemove() {
    this.box.remove();
  },

  getEvents() {
    return { zoom: this.place, viewreset: this.place, zoomanim: this.animate };
  },

  // Shows or moves a crew's label; its element, for its data and classes.
  show(name, lat, lon) {
    let label = this.labels.get(name);
    if (!label) {
      // The name as the element's one text node; "last seen" is drawn from
      // its data-seen by the style sheet, which costs a third less to lay out
      // than a second element.
      const element = el('div', 'crew-marker leaflet-interactive', name);
      element.title = name;
      label = { element };
      this.labels.set(name, label);
      this.names.set(element, name);
      this.box.appendChild(element);
    }
    label.latlng = L.latLng(lat, lon);
    if (this._map) this.position(label.element, this._map.latLngToLayerPoint(label.latlng));
    return label.element;
  },

  remove(name) {
    const label = this.labels.get(name);
    if (label) label.element.remove();
    this.labels.delete(name);
  },

  position(element, point) {
    element.style.left = (point.x + 8) + 'px';
    element.style.top = (point.y - 10) + 'px';
  },

  place() {
    for (const label of this.labels.values()) this.position(label.element, this._map.latLngToLayerPoint(label.latlng));
  },

  animate(event) {
    for (const label of this.labels.values())
      this.position(label.element, this._map._latLngToNewLayerPoint(label.latlng, event.zoom, event.center).round());
  },
});
